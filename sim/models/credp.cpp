// The simulated object-policy module (see creds.h).
#include "creds/creds.h"
#include "sim/model.h"
#include "sim/models/creds.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace ks_sim {

namespace {

constexpr uint32_t MAX_NAME = 4096;
constexpr int32_t MAX_COUNT = 1 << 20;

std::string hex(uint32_t v, const char *format = "%x")
{
    char t[16];
    std::snprintf(t, sizeof t, format, v);
    return t;
}

class policy_file : public open_file {
public:
    int ioctl(unsigned long request, void *arg) override
    {
        std::string text = "0x" + hex(uint32_t(request), "%X");
        int answer = handle(request, static_cast<const credp_policy_request *>(arg), text);
        text += " = " + std::to_string(answer);
        append_record(run_path(CREDP_REQUESTS_STATE), text.data(), text.size());
        return answer;
    }

private:
    int handle(unsigned long request, const credp_policy_request *r, std::string &text)
    {
        switch (request) {
        case CREDP_IOC_DEFINE:
        case CREDP_IOC_NAME_89F1:
        case CREDP_IOC_NAME_89F2:
        case CREDP_IOC_APPLY:
        case CREDP_IOC_REQUEST:
            break;
        default:
            return -ENOTTY;
        }
        if (request == CREDP_IOC_REQUEST && fault("credp.no_89f5"))
            return -ENOTTY;
        if (!r)
            return -EFAULT;
        text += " flags=0x" + hex(uint32_t(r->flags));
        if (r->name_length > MAX_NAME)
            return -EINVAL;
        if (r->name_length && !r->name)
            return -EFAULT;
        text += " name=" + std::to_string(r->name_length) + ":" +
                std::string(r->name ? r->name : "", r->name_length) + (r->name ? "" : "(null)");
        if (r->count < 0 || r->count > MAX_COUNT)
            return -EINVAL;
        if (r->count && !r->list)
            return -EFAULT;
        text += " count=" + std::to_string(r->count) + " words=";
        std::vector<uint32_t> words(r->list, r->list + r->count);
        for (size_t i = 0; i < words.size(); i++)
            text += (i ? "," : "") + hex(words[i]);
        if (!r->list)
            text += "(null)";
        if (!creds_whole_entries(words.data(), words.size()))
            return -EINVAL;
        if (long err = fault("credp.fail"))
            return -int(err > 1 ? err : EPERM);
        if (request == CREDP_IOC_APPLY)
            return apply(r->flags, words);
        return 0;
    }

    // "set" gives the caller exactly the set, "add" adds it to what the
    // caller holds; "none" and "inherit" change nothing now.
    int apply(int flags, const std::vector<uint32_t> &words)
    {
        int how = flags & 0x07;
        if (how != 1 && how != 2)
            return 0;
        std::vector<uint32_t> now;
        if (how == 2) {
            if (!creds_task_words(getpid(), now))
                return -ESRCH;
            creds_merge_words(now, words);
        } else {
            now = words;
        }
        return creds_store_task(getpid(), now);
    }
};

class credp_model : public model {
public:
    const char *name() const override { return "credp"; }
    bool serves(std::string_view path) const override { return path == CREDP_POLICY_FILE; }
    std::unique_ptr<open_file> open(const std::string &path, int, mode_t) override
    {
        long err = fault("credp.open");
        if (err || !placeholder_exists(path)) {
            errno = err > 1 ? int(err) : ENOENT;
            return nullptr;
        }
        return credp_policy_file();
    }
};

model_registration<credp_model> registration;

// ks-sim credp: every policy request of this boot.
int show_requests(const std::vector<std::string> &, FILE *out)
{
    std::vector<std::string> recs;
    read_records(run_path(CREDP_REQUESTS_STATE), recs);
    for (auto &r : recs)
        std::fprintf(out, "%s\n", r.c_str());
    return 0;
}

struct command_registration {
    command_registration()
    {
        register_command("credp", "requests to the object-policy module", show_requests);
    }
} commands_registered;

}  // namespace

std::unique_ptr<open_file> credp_policy_file() { return std::make_unique<policy_file>(); }

}  // namespace ks_sim
