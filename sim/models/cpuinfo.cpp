// "/proc/cpuinfo" as the device shows it. Its "SoC Info" line comes from
// the state file "soc-info" (the whole line, without newline); a device
// without one is a production device. The file is the kernel's only while
// a procfs is mounted on "/proc"; without one, the path is whatever file
// the device has there.
#include "sim/models/recording.h"

#include <linux/magic.h>
#include <sys/statfs.h>

namespace ks_sim {
namespace {

const char *const default_soc_line = "SoC Info\t: OMAP3430 ES3.1 hs";

std::string soc_line()
{
    std::string line;
    if (read_state("soc-info", line) < 0)
        return default_soc_line;
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    return line;
}

class cpuinfo_model : public model {
public:
    const char *name() const override { return "cpuinfo"; }
    bool serves(std::string_view path) const override
    {
        struct statfs proc;
        return path == "/proc/cpuinfo" && statfs("/proc", &proc) == 0 &&
               proc.f_type == PROC_SUPER_MAGIC;
    }
    std::unique_ptr<open_file> open(const std::string &, int flags, mode_t) override
    {
        if ((flags & O_ACCMODE) != O_RDONLY) {
            errno = EACCES;
            return nullptr;
        }
        std::string text =
            "processor\t: 0\n"
            "model name\t: ARMv7 Processor rev 3 (v7l)\n"
            "BogoMIPS\t: 597.64\n"
            "Features\t: half thumb fastmult vfp edsp neon vfpv3 tls\n"
            "CPU implementer\t: 0x41\n"
            "CPU architecture: 7\n"
            "CPU part\t: 0xc08\n"
            "\n"
            "Hardware\t: KZ4 board\n"
            "Revision\t: 2101\n" +
            soc_line() + "\n";
        return std::make_unique<recording_file>(run_path("cpuinfo-writes"), text);
    }
};

model_registration<cpuinfo_model> registration;

int soc_info_command(const std::vector<std::string> &args, FILE *out)
{
    if (args.empty()) {
        std::fprintf(out, "%s\n", soc_line().c_str());
        return 0;
    }
    int r = write_state("soc-info", args[0]);
    if (r < 0) {
        std::fprintf(out, "cannot set the SoC Info line: %s\n", std::strerror(-r));
        return 1;
    }
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("soc-info",
                         "[LINE]  show or set the \"SoC Info\" line of /proc/cpuinfo",
                         soc_info_command);
    }
} command_reg;

}  // namespace
}  // namespace ks_sim
