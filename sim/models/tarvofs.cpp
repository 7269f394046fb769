// The protected file system's side of the ".tarvofs-signature" challenge.
//
// Setting the attribute on a file hands the file system a challenge: the
// file's absolute path followed by 32 bytes. The file system answers with
// a 20-byte signature of the challenge under the token
// "tarvofs::tarvofs-verify", which the next reading of the attribute on
// that file returns. The signature is the secure side's MAC under the
// device key (omap_sec.h), so the crypto services check it against the
// same device; a challenge of more than 4050 bytes is signed through its
// SHA-1, as the services check larger data.
//
// Only a challenge for the file itself is answered: one that does not
// begin with the file's path, or is not followed by exactly 32 bytes, is
// refused with EINVAL (otherwise the attribute would sign any data under
// the file system's token). A file that does not exist gives ENOENT.
//
// Answers are kept per boot in run file "tarvofs.answers", one record per
// answer: the path, a zero byte and the 20 bytes; the last one for a path
// counts. Reading before any answer gives ENODATA; a buffer of 0 bytes
// asks for the length, a shorter one gives ERANGE.
//
// Faults ("faults" state file):
//   tarvofs.set=ERRNO    setting the attribute fails with ERRNO
//   tarvofs.get=ERRNO    reading it fails with ERRNO
//   tarvofs.forge        the answer is made under another token
//   tarvofs.replay       a new challenge is not answered: reading returns
//                        the file's earlier answer
//   tarvofs.size=N       the answer read back is N bytes long (cut, or
//                        filled with zeros)
#include "sim/models/tarvofs.h"
#include "sim/models/omap_sec.h"
#include "sim/models/omap_sec_crypto.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace ks_sim {

namespace {

constexpr const char ATTRIBUTE[] = ".tarvofs-signature";
constexpr const char TOKEN[] = "tarvofs::tarvofs-verify";
constexpr const char FORGED_TOKEN[] = "tarvofs::forged";
constexpr size_t NONCE_LENGTH = 32;
constexpr size_t RESPONSE_LENGTH = 20;
// Data up to this length are signed themselves, longer data through their
// SHA-1.
constexpr size_t MAC_LIMIT = 4050;

struct errno_keeper {
    int saved = errno;
    ~errno_keeper() { errno = saved; }
};

// The last answer kept for the path; false when there is none.
bool last_answer(const std::string &path, std::string &answer)
{
    std::vector<std::string> records;
    if (read_records(run_path(TARVOFS_ANSWERS), records) != 0)
        return false;
    bool found = false;
    for (const std::string &r : records) {
        if (r.size() == path.size() + 1 + RESPONSE_LENGTH && r.compare(0, path.size(), path) == 0 &&
            r[path.size()] == '\0') {
            answer = r.substr(path.size() + 1);
            found = true;
        }
    }
    return found;
}

// Why a call on the path is refused, as a negated errno (the call's armed
// fault, or a file that is not there); 0 when it is not.
int refusal(const char *fault_name, const std::string &path)
{
    if (long e = fault(fault_name))
        return -int(e);
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? 0 : -ENOENT;
}

class tarvofs_challenge : public xattr_handler {
public:
    bool serves(std::string_view name) const override { return name == ATTRIBUTE; }

    int set(const std::string &path, const std::string &, const void *value, size_t size,
            int) override
    {
        errno_keeper keep;
        if (int e = refusal("tarvofs.set", path))
            return e;
        std::string challenge(static_cast<const char *>(value), value ? size : 0);
        if (challenge.size() != path.size() + NONCE_LENGTH ||
            challenge.compare(0, path.size(), path) != 0)
            return -EINVAL;
        if (fault("tarvofs.replay"))
            return 0;
        std::string data = challenge.size() > MAC_LIMIT ? omap_sec_sha1(challenge) : challenge;
        std::string answer = omap_sec_mac(omap_sec_device_key(),
                                          fault("tarvofs.forge") ? FORGED_TOKEN : TOKEN, data);
        std::string record = path + '\0' + answer;
        return append_record(run_path(TARVOFS_ANSWERS), record.data(), record.size());
    }

    ssize_t get(const std::string &path, const std::string &, void *value, size_t size) override
    {
        errno_keeper keep;
        if (int e = refusal("tarvofs.get", path))
            return e;
        std::string answer;
        if (!last_answer(path, answer))
            return -ENODATA;
        if (long n = fault("tarvofs.size"))
            answer.resize(size_t(n), '\0');
        if (size == 0)
            return ssize_t(answer.size());
        if (size < answer.size())
            return -ERANGE;
        memcpy(value, answer.data(), answer.size());
        return ssize_t(answer.size());
    }
};

// Never destroyed, like the models: calls made while the process exits
// still find it.
tarvofs_challenge &handler()
{
    static auto *h = new tarvofs_challenge;
    return *h;
}

struct registration {
    registration() { register_xattr_handler(&handler()); }
} registered;

}  // namespace

xattr_handler &tarvofs_challenge_handler() { return handler(); }

}  // namespace ks_sim
