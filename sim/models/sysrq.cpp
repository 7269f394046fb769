// "/proc/sysrq-trigger": every write is recorded (run/sysrq); nothing ever
// reaches the kernel. "o" asks for a power-off, "b" for a reboot.
#include "sim/models/recording.h"

namespace ks_sim {
namespace {

const char *const trigger = "/proc/sysrq-trigger";

class sysrq_model : public model {
public:
    const char *name() const override { return "sysrq"; }
    bool serves(std::string_view path) const override { return path == trigger; }
    std::unique_ptr<open_file> open(const std::string &, int, mode_t) override
    {
        return std::make_unique<recording_file>(run_path("sysrq"));
    }
};

model_registration<sysrq_model> registration;

int sysrq_command(const std::vector<std::string> &, FILE *out)
{
    std::vector<std::string> recs;
    read_records(run_path("sysrq"), recs);
    for (const auto &r : recs) {
        std::string text = r;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\0'))
            text.pop_back();
        const char *meaning = text == "o" ? " (power-off request)"
                              : text == "b" ? " (reboot request)"
                                            : "";
        std::fprintf(out, "sysrq: \"%s\"%s\n", text.c_str(), meaning);
    }
    if (recs.empty())
        std::fprintf(out, "sysrq: nothing written\n");
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("sysrq", "what was written to /proc/sysrq-trigger", sysrq_command);
    }
} command_reg;

}  // namespace
}  // namespace ks_sim
