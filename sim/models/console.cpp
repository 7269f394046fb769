// "/dev/console": what the program writes there is kept in run/console
// rather than reaching the machine's console.
#include "sim/models/recording.h"

namespace ks_sim {
namespace {

class console_model : public model {
public:
    const char *name() const override { return "console"; }
    bool serves(std::string_view path) const override { return path == "/dev/console"; }
    std::unique_ptr<open_file> open(const std::string &path, int, mode_t) override
    {
        if (!placeholder_exists(path)) {
            errno = ENOENT;
            return nullptr;
        }
        return std::make_unique<recording_file>(run_path("console"));
    }
};

model_registration<console_model> registration;

int console_command(const std::vector<std::string> &, FILE *out)
{
    std::fputs(records_as_lines("console").c_str(), out);
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("console", "what was written to /dev/console", console_command);
    }
} command_reg;

}  // namespace
}  // namespace ks_sim
