// "/dev/urandom": reads give real random bytes; writes (seeding the pool)
// are recorded in run/urandom instead of reaching the kernel.
#include "sim/models/recording.h"

#include <sys/random.h>

namespace ks_sim {
namespace {

class urandom_file : public recording_file {
public:
    urandom_file() : recording_file(run_path("urandom")) {}
    ssize_t read(void *buf, size_t len) override
    {
        ssize_t n = ::getrandom(buf, len, 0);
        return n < 0 ? -errno : n;
    }
};

class urandom_model : public model {
public:
    const char *name() const override { return "urandom"; }
    bool serves(std::string_view path) const override { return path == "/dev/urandom"; }
    std::unique_ptr<open_file> open(const std::string &, int, mode_t) override
    {
        if (long err = fault("urandom.open")) {
            errno = int(err);
            return nullptr;
        }
        return std::make_unique<urandom_file>();
    }
};

model_registration<urandom_model> registration;

int urandom_command(const std::vector<std::string> &, FILE *out)
{
    std::vector<std::string> recs;
    read_records(run_path("urandom"), recs);
    size_t total = 0;
    for (const auto &r : recs)
        total += r.size();
    std::fprintf(out, "urandom: %zu bytes written in %zu writes\n", total, recs.size());
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("urandom", "bytes written to /dev/urandom", urandom_command);
    }
} command_reg;

}  // namespace
}  // namespace ks_sim
