// The fault loops of protected storage, the file signatures, the vdata
// list and the journal (run in the sandbox, against the real libraries and
// the simulated secure side): an operation runs in a fresh child with its
// n-th file-system call failing or killed (sim/testing/call_fault.h), and
// another fresh child then reads everything the operations touch. What it
// reads is compared with the state before and the state the operation
// makes.
#pragma once

#include "crypto/tarvo_crypto.h"
#include "crypto/vdata.h"
#include "init/journal.h"
#include "restok/restok.h"
#include "sim/model.h"
#include "sim/models/omap_sec.h"
#include "sim/testing/call_fault.h"
#include "storage/tarvo_storage.h"
#include "support/tarvo_common.h"
#include "support/test_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace loops {

// Everything the operations touch, key by key ("S:" signed store, "E:"
// encrypted store, "X:" external store, "T:" signed files, "V:" vdata
// entries, "J" the journal): content, or a mark such as "<absent>".
using snapshot = std::map<std::string, std::string>;

inline const char *const SIGNED_STORE = "loop.s";
inline const char *const ENCRYPTED_STORE = "loop.e";
inline const char *const EXTERNAL_STORE = "loop.x";
inline const char *const OWNER = "tcb";
inline const char *const EXTERNAL_OWNER = "local";
inline const char *const JOURNAL_FILE = "/var/lib/loop-journal";

inline const std::vector<std::string> &signed_keys()
{
    static const std::vector<std::string> k = {"/etc/ls0", "/etc/ls1", "/etc/ls2", "/etc/ls3"};
    return k;
}
inline const std::vector<std::string> &encrypted_keys()
{
    static const std::vector<std::string> k = {"/e0", "/e1", "/e2", "/e3"};
    return k;
}
inline const std::vector<std::string> &external_keys()
{
    static const std::vector<std::string> k = {"/etc/lx0", "/etc/lx1", "/etc/lx2"};
    return k;
}
inline const std::vector<std::string> &tcb_keys()
{
    static const std::vector<std::string> k = {"/etc/lt0", "/etc/lt1", "/etc/lt2", "/etc/lt3"};
    return k;
}
inline const std::vector<std::string> &vdata_keys()
{
    static const std::vector<std::string> k = {"/etc/lv0", "/etc/lv1", "/etc/lv2"};
    return k;
}

// ---- files -------------------------------------------------------------------

inline bool put_plain(const std::string &path, const std::string &content)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, content.data(), content.size()) == ssize_t(content.size());
    return ::close(fd) == 0 && ok;
}

// The file's content, "<nofile>" when there is none.
inline std::string plain(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "<nofile>";
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        out.append(buf, size_t(n));
    ::close(fd);
    return out;
}

inline int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

// Content of a given length, distinct for each text.
inline std::string content(const std::string &text, size_t length)
{
    std::string s;
    while (s.size() < length)
        s += text + " " + std::to_string(s.size()) + "\n";
    s.resize(length);
    return s;
}

// ---- the device --------------------------------------------------------------

// Everything the operations touch removed; the secure side with its
// device key, without hardware when asked (the security hardware cannot
// be opened).
inline void reset_device(bool hardware)
{
    nftw("/var/lib/tarvo/ps", remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    nftw("/home/user/.tarvo", remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    for (const char *dir : {"/etc", "/dev/shm", "/var/lib"}) {
        DIR *d = opendir(dir);
        while (struct dirent *e = d ? readdir(d) : nullptr) {
            std::string n = e->d_name;
            bool ours = n.rfind("tarvo_vdata", 0) == 0 || n.find("tarvo-ps") != std::string::npos ||
                        n.rfind("loop-journal", 0) == 0 ||
                        (n.size() >= 3 && n[0] == 'l' && std::strchr("stxv", n[1]) &&
                         std::string(dir) == "/etc");
            if (ours)
                ::unlink((std::string(dir) + "/" + n).c_str());
        }
        if (d)
            closedir(d);
    }
    make_path("/var/lib", 0755);
    ks_sim::write_state(ks_sim::OMAP_SEC_CONFIG, "device_key=000102030405060708090a0b0c0d0e0f\n");
    ks_sim::write_state("faults", hardware ? "" : "omap_sec.open=2\n");
}

// ---- children ----------------------------------------------------------------

struct child_result {
    int status = -1;  // wait status, -1 when the child could not be made
    std::string out;  // what the child wrote to its pipe
    bool exited(int code) const { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code; }
    bool killed() const { return status != -1 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
};

// Runs the body in a fresh child (this process holds no store, no crypto
// set-up): its result is the exit status, what it puts in out comes back.
inline child_result in_child(const std::function<int(std::string &out)> &body, unsigned seconds = 120)
{
    child_result r;
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return r;
    std::fflush(nullptr);
    pid_t pid = test_fork();
    if (pid == 0) {
        ::close(p[0]);
        alarm(seconds);
        std::string out;
        int code = body(out);
        ks_sim::testing::call_fault::disarm();
        size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::write(p[1], out.data() + done, out.size() - done);
            if (n <= 0)
                _exit(99);
            done += size_t(n);
        }
        _exit(code);
    }
    ::close(p[1]);
    if (pid < 0) {
        ::close(p[0]);
        return r;
    }
    char buf[4096];
    ssize_t n;
    while ((n = ::read(p[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            r.out.append(buf, size_t(n));
    ::close(p[0]);
    while (waitpid(pid, &r.status, 0) < 0 && errno == EINTR) {
    }
    return r;
}

inline std::string encode(const snapshot &s)
{
    std::string out;
    for (const auto &kv : s)
        out += std::to_string(kv.first.size()) + ":" + kv.first + std::to_string(kv.second.size()) +
               ":" + kv.second;
    return out;
}

inline snapshot decode(const std::string &text)
{
    snapshot s;
    size_t at = 0;
    auto field = [&](std::string &f) {
        size_t colon = text.find(':', at);
        if (colon == std::string::npos)
            return false;
        size_t n = std::strtoul(text.c_str() + at, nullptr, 10);
        f = text.substr(colon + 1, n);
        at = colon + 1 + n;
        return true;
    };
    std::string k, v;
    while (at < text.size() && field(k) && field(v))
        s[k] = v;
    return s;
}

// ---- reading everything back -----------------------------------------------

// One store's keys and any other name it lists (prefix "P:extra:").
inline void observe_store(snapshot &s, const std::string &prefix, const char *name, const char *owner,
                          int protection, const std::vector<std::string> &keys)
{
    tarvo::storage st(name, owner, 0, protection);
    std::vector<char *> names;
    int count = st.get_files(names);
    if (count < 0)
        s[prefix + "listing"] = "<unreadable>";
    for (char *n : names) {
        bool known = false;
        for (const std::string &k : keys)
            known = known || k == n;
        if (!known)
            s[prefix + "extra:" + n] = "listed";
    }
    tarvo::storage::free_names(names);
    for (const std::string &k : keys) {
        std::string &v = s[prefix + k];
        if (!st.contains_file(k.c_str())) {
            v = "<absent>";
            continue;
        }
        unsigned char *data = nullptr;
        size_t size = 0;
        if (st.get_file(k.c_str(), &data, &size) != 0)
            v = "<unreadable>";
        else
            v.assign(reinterpret_cast<char *>(data), size);
        free(data);
    }
}

// Everything, read by this process; call in a fresh child.
inline snapshot observe_here()
{
    snapshot s;
    restok_be_manager();
    observe_store(s, "S:", SIGNED_STORE, OWNER, 0, signed_keys());
    observe_store(s, "E:", ENCRYPTED_STORE, OWNER, 1, encrypted_keys());
    observe_store(s, "X:", EXTERNAL_STORE, EXTERNAL_OWNER, 0, external_keys());
    // Signed files: the verdict and the content; the store of "tcb" lists
    // nothing else (no temporary name).
    for (const std::string &k : tcb_keys())
        s["T:" + k] = std::to_string(tarvo_crypto_verify_file(k.c_str(), nullptr, 0, OWNER)) + ":" +
                      plain(k);
    {
        tarvo::storage st("files.tcb", OWNER, 0, 0);
        std::vector<char *> names;
        st.get_files(names);
        int pending = 0;
        for (char *n : names) {
            bool known = false, temporary = false;
            for (const std::string &k : tcb_keys()) {
                known = known || k == n;
                temporary = temporary || (std::strncmp(n, (k + ".").c_str(), k.size() + 1) == 0 &&
                                          std::strlen(n) == k.size() + 13);
            }
            // A signing with data cut short may leave its new content's
            // entry under its temporary name (the next signing of the path
            // drops it); no call that returns leaves one.
            if (temporary)
                pending++;
            else if (!known)
                s["T:extra:" + std::string(n)] = "listed";
        }
        s["T:pending"] = std::to_string(pending);
        tarvo::storage::free_names(names);
    }
    for (const std::string &k : vdata_keys())
        s["V:" + k] = std::to_string(verify_global_signature(k.c_str(), nullptr)) + ":" + plain(k);
    {
        Journal j(JOURNAL_FILE, OWNER);
        uint32_t length = 0;
        const unsigned char *records = j.open(&length);
        s["J"] = records ? std::string(reinterpret_cast<const char *>(records), length) : "<none>";
        s["J:bad"] = ::access((std::string(JOURNAL_FILE) + ".bad").c_str(), F_OK) == 0 ? "yes" : "no";
    }
    return s;
}

// Everything, read by a fresh child.
inline snapshot observe()
{
    child_result r = in_child([](std::string &out) {
        out = encode(observe_here());
        return 0;
    });
    snapshot s = decode(r.out);
    if (!r.exited(0))
        s["observer"] = "ended with status " + std::to_string(r.status);
    return s;
}

// The keys where two snapshots differ, for a failure message.
inline std::string difference(const snapshot &seen, const snapshot &want)
{
    std::string out;
    auto shorten = [](const std::string &v) {
        return v.size() > 40 ? v.substr(0, 37) + "...(" + std::to_string(v.size()) + ")" : v;
    };
    for (const auto &kv : want) {
        auto it = seen.find(kv.first);
        std::string got = it == seen.end() ? "<missing>" : it->second;
        if (got != kv.second)
            out += " " + kv.first + "=[" + shorten(got) + "] not [" + shorten(kv.second) + "];";
    }
    for (const auto &kv : seen)
        if (want.count(kv.first) == 0)
            out += " " + kv.first + "=[" + shorten(kv.second) + "] unexpected;";
    return out;
}

// ---- operations --------------------------------------------------------------

// An operation of the loops. prepare makes the old state (in a fresh child,
// true when it could); run is the operation (true when it reported
// success); effect turns the old snapshot into the new one. A key in torn
// may read "<unreadable>" (and nothing else may change) after a kill or a
// reported failure: a member write that is not atomic against a kill (a
// writer's in-place write, put_file over a listed member, a signed
// store's rename whose file the caller moves).
struct operation {
    const char *name;
    bool hardware;
    std::function<bool()> prepare;
    std::function<bool()> run;
    std::function<void(snapshot &)> effect;
    std::string torn;
};

inline bool store_put(const char *store, const char *owner, int protection, const std::string &key,
                      const std::string &data)
{
    tarvo::storage st(store, owner, 0, protection);
    return st.put_file(key.c_str(), data.data(), data.size()) == 0;
}

inline bool sign(const std::string &path, const std::string *data)
{
    return tarvo_crypto_sign_file(path.c_str(),
                                  data ? reinterpret_cast<const unsigned char *>(data->data()) : nullptr,
                                  data ? data->size() : 0, OWNER) == 0;
}

inline bool journal_append(const std::string &record)
{
    Journal j(JOURNAL_FILE, OWNER);
    uint32_t length = 0;
    j.open(&length);
    return j.append(record.data(), uint32_t(record.size())) == 0;
}

// Runs the steps in order; the first that fails is named on standard error.
inline bool run_steps(const std::vector<std::pair<const char *, std::function<bool()>>> &steps)
{
    for (const auto &step : steps)
        if (!step.second()) {
            std::fprintf(stderr, "preparing: %s failed (%s)\n", step.first, std::strerror(errno));
            return false;
        }
    return true;
}

// The old state of every operation with the hardware: members in both
// stores, signed files, a journal of three records.
inline bool prepare_with_hardware()
{
    const std::string t0 = "tcb zero\n", t1 = "x";
    const std::vector<std::pair<const char *, std::function<bool()>>> steps = {
        {"signed member 0", [] { return store_put(SIGNED_STORE, OWNER, 0, "/etc/ls0", content("signed zero", 4000)); }},
        {"signed member 1", [] { return store_put(SIGNED_STORE, OWNER, 0, "/etc/ls1", "signed one\n"); }},
        {"encrypted member 0", [] { return store_put(ENCRYPTED_STORE, OWNER, 1, "/e0", content("encrypted zero", 3000)); }},
        {"encrypted member 1", [] { return store_put(ENCRYPTED_STORE, OWNER, 1, "/e1", "encrypted one\n"); }},
        {"signed file 0", [&] { return sign("/etc/lt0", &t0); }},
        {"signed file 1", [&] { return sign("/etc/lt1", &t1); }},
        {"plain files", [] { return put_plain("/etc/lt1", content("grown tcb one", 3000)) && put_plain("/etc/lt2", "plain two\n") &&
         put_plain("/etc/ls3", "outside file\n"); }},
        {"journal", [] {
             for (int i = 0; i < 3; i++)
                 if (!journal_append("record " + std::to_string(i) + "\n"))
                     return false;
             return true;
         }},
    };
    return run_steps(steps);
}

// Without the hardware: a store whose owner is no credential
// ("external"), counted through the vdata list, and entries in the list
// (a store of a credential cannot be signed without the hardware).
inline bool prepare_without_hardware()
{
    const std::vector<std::pair<const char *, std::function<bool()>>> steps = {
        {"external member 0", [] { return store_put(EXTERNAL_STORE, EXTERNAL_OWNER, 0, "/etc/lx0", content("external zero", 4000)); }},
        {"external member 1", [] { return store_put(EXTERNAL_STORE, EXTERNAL_OWNER, 0, "/etc/lx1", "external one\n"); }},
        {"vdata entries", [] {
             return put_plain("/etc/lv0", "vdata zero\n") && save_global_signature("/etc/lv0", nullptr) == 1 &&
                    put_plain("/etc/lv1", "vdata one\n") && save_global_signature("/etc/lv1", nullptr) == 1 &&
                    put_plain("/etc/lv2", "vdata two\n");
         }},
    };
    return run_steps(steps);
}

inline bool member_write(const char *store, int protection, const std::string &key,
                         const std::string &data)
{
    tarvo::storage st(store, OWNER, 0, protection);
    std::unique_ptr<tarvo::p_file> m(st.member(key.c_str()));
    if (!m || !m->p_open(O_RDWR))
        return false;
    bool ok = m->p_write(0, data.data(), uint32_t(data.size())) == int(data.size());
    return m->p_close() == 0 && ok;
}

inline bool store_remove(const char *store, int protection, const std::string &key)
{
    tarvo::storage st(store, OWNER, 0, protection);
    st.remove_file(key.c_str());
    return !st.contains_file(key.c_str()) && st.commit();
}

// A signed store's members are files at their own paths: the caller moves
// the file, renames the entry, and moves the file back when the commit
// fails (as the file signatures do).
inline bool store_rename(const char *store, int protection, const std::string &from,
                         const std::string &to)
{
    tarvo::storage st(store, OWNER, 0, protection);
    if (protection != 1 && ::rename(from.c_str(), to.c_str()) != 0)
        return false;
    errno = 0;
    st.rename(from.c_str(), to.c_str());
    bool ok = st.contains_file(to.c_str()) && !st.contains_file(from.c_str()) && st.commit();
    if (!ok && protection != 1)
        ::rename(to.c_str(), from.c_str());
    return ok;
}

inline std::vector<operation> operations()
{
    const std::string big = content("rewritten", 20000), fresh = content("new member", 5000);
    const std::string written = "REWRITTEN one\n", tnew = "tcb zero, second\n";
    std::vector<operation> ops = {
        {"put_file new signed member", true, prepare_with_hardware,
         [=] { return store_put(SIGNED_STORE, OWNER, 0, "/etc/ls2", fresh); },
         [=](snapshot &s) { s["S:/etc/ls2"] = fresh; }, ""},
        {"put_file rewriting a signed member", true, prepare_with_hardware,
         [=] { return store_put(SIGNED_STORE, OWNER, 0, "/etc/ls0", big); },
         [=](snapshot &s) { s["S:/etc/ls0"] = big; }, "S:/etc/ls0"},
        {"put_file new encrypted member", true, prepare_with_hardware,
         [=] { return store_put(ENCRYPTED_STORE, OWNER, 1, "/e2", fresh); },
         [=](snapshot &s) { s["E:/e2"] = fresh; }, ""},
        {"put_file rewriting an encrypted member", true, prepare_with_hardware,
         [=] { return store_put(ENCRYPTED_STORE, OWNER, 1, "/e0", big); },
         [=](snapshot &s) { s["E:/e0"] = big; }, "E:/e0"},
        {"writer's write and close, signed", true, prepare_with_hardware,
         [=] { return member_write(SIGNED_STORE, 0, "/etc/ls1", written); },
         [=](snapshot &s) { s["S:/etc/ls1"] = written; }, "S:/etc/ls1"},
        {"writer's write and close, encrypted", true, prepare_with_hardware,
         [=] { return member_write(ENCRYPTED_STORE, 1, "/e1", written); },
         [=](snapshot &s) { s["E:/e1"] = written; }, "E:/e1"},
        {"add_file and commit", true, prepare_with_hardware,
         [] {
             // add_file tells its failure only through the listing.
             tarvo::storage st(SIGNED_STORE, OWNER, 0, 0);
             st.add_file("/etc/ls3");
             return st.contains_file("/etc/ls3") && st.commit();
         },
         [](snapshot &s) { s["S:/etc/ls3"] = "outside file\n"; }, ""},
        {"remove and commit, signed", true, prepare_with_hardware,
         [] { return store_remove(SIGNED_STORE, 0, "/etc/ls1"); },
         [](snapshot &s) { s["S:/etc/ls1"] = "<absent>"; }, ""},
        {"remove and commit, encrypted", true, prepare_with_hardware,
         [] { return store_remove(ENCRYPTED_STORE, 1, "/e1"); },
         [](snapshot &s) { s["E:/e1"] = "<absent>"; }, ""},
        {"rename and commit, signed", true, prepare_with_hardware,
         [] { return store_rename(SIGNED_STORE, 0, "/etc/ls1", "/etc/ls2"); },
         [](snapshot &s) {
             s["S:/etc/ls2"] = s["S:/etc/ls1"];
             s["S:/etc/ls1"] = "<absent>";
         },
         "S:/etc/ls1"},
        {"rename and commit, encrypted", true, prepare_with_hardware,
         [] { return store_rename(ENCRYPTED_STORE, 1, "/e1", "/e2"); },
         [](snapshot &s) {
             s["E:/e2"] = s["E:/e1"];
             s["E:/e1"] = "<absent>";
         },
         ""},
        {"signing with data", true, prepare_with_hardware, [=] { return sign("/etc/lt0", &tnew); },
         [=](snapshot &s) { s["T:/etc/lt0"] = "0:" + tnew; }, ""},
        {"signing a grown file without data", true, prepare_with_hardware,
         [] { return sign("/etc/lt1", nullptr); },
         [](snapshot &s) { s["T:/etc/lt1"] = "0:" + content("grown tcb one", 3000); }, ""},
        {"journal append", true, prepare_with_hardware,
         [] { return journal_append("record 3\n"); },
         [](snapshot &s) { s["J"] += "record 3\n"; }, ""},
        {"vdata recording without hardware", false, prepare_without_hardware,
         [] { return save_global_signature("/etc/lv2", nullptr) == 1; },
         [](snapshot &s) { s["V:/etc/lv2"] = "0:vdata two\n"; }, ""},
        {"put_file without hardware", false, prepare_without_hardware,
         [=] { return store_put(EXTERNAL_STORE, EXTERNAL_OWNER, 0, "/etc/lx2", fresh); },
         [=](snapshot &s) { s["X:/etc/lx2"] = fresh; }, ""},
        {"put_file rewriting without hardware", false, prepare_without_hardware,
         [=] { return store_put(EXTERNAL_STORE, EXTERNAL_OWNER, 0, "/etc/lx1", written); },
         [=](snapshot &s) { s["X:/etc/lx1"] = written; }, "X:/etc/lx1"},
    };
    return ops;
}

// ---- the loop ------------------------------------------------------------------

struct loop_result {
    int runs = 0;                       // runs made, the last without a fault
    int wrong = 0;                      // runs that left a wrong state
    std::vector<std::string> failures;  // the first of them, described
};

// Runs the operation with its n-th call failing with err (0: killed), for
// n = 1, 2, ... until a run meets no fault, checking every run's state.
// With sticky, every call from the n-th on fails (a disk that stays full).
inline loop_result fault_loop(const operation &op, int err, bool sticky = false, long limit = 4000)
{
    loop_result result;
    snapshot old_state, new_state;
    // KS_LOOP_ONLY=N runs the N-th case alone (with the old state still
    // taken from a run of its own), to look at one failing run.
    const char *only_text = std::getenv("KS_LOOP_ONLY");
    const long only = only_text ? std::strtol(only_text, nullptr, 10) : 0;
    for (long n = only > 0 ? 0 : 1; n <= limit; n++) {
        if (only > 0 && n > 0)
            n = only;
        reset_device(op.hardware);
        child_result prep = in_child([&](std::string &) {
            restok_be_manager();
            return op.prepare() ? 0 : 1;
        });
        if (!prep.exited(0)) {
            result.failures.push_back("the old state could not be made");
            result.wrong++;
            return result;
        }
        if (n <= 1) {
            old_state = observe();
            new_state = old_state;
            op.effect(new_state);
        }
        if (n == 0)
            continue;
        child_result run = in_child([&](std::string &) {
            if (restok_be_manager() != 0)
                return 10;
            ks_sim::testing::call_fault::arm(n, err, sticky);
            bool ok = op.run();
            bool struck = false;
            ks_sim::testing::call_fault::count(&struck);
            ks_sim::testing::call_fault::disarm();
            return (ok ? 0 : 1) | (struck ? 0 : 2);
        });
        result.runs++;
        snapshot seen = observe();
        bool reported_success = run.exited(0) || run.exited(2);
        bool reported_failure = run.exited(1) || run.exited(3);
        bool last = run.exited(2) || run.exited(3);
        std::string wrong;
        // An in-place write that did not complete may leave its member
        // reading as a failure, never as other content.
        bool torn_ok = false;
        if (!op.torn.empty() && seen.count(op.torn) && seen[op.torn] == "<unreadable>") {
            snapshot s = seen;
            s[op.torn] = old_state[op.torn];
            torn_ok = s == old_state;
        }
        if (run.killed()) {
            snapshot killed_seen = seen;
            killed_seen["T:pending"] = old_state["T:pending"];
            if (killed_seen != old_state && killed_seen != new_state && !torn_ok)
                wrong = "killed: neither old nor new:" + difference(seen, old_state);
        } else if (reported_success) {
            if (seen != new_state)
                wrong = "reported success:" + difference(seen, new_state);
        } else if (reported_failure) {
            if (seen != old_state && !torn_ok)
                wrong = "reported failure (errno fault):" + difference(seen, old_state);
            else if (last)
                wrong = "reported failure without any fault";
        } else {
            wrong = "the run ended with status " + std::to_string(run.status);
        }
        if (!wrong.empty()) {
            result.wrong++;
            if (result.failures.size() < 6)
                result.failures.push_back("call " + std::to_string(n) + ": " + wrong);
        }
        if (last || only > 0 || (!run.killed() && !reported_success && !reported_failure))
            break;
    }
    return result;
}

// The secure side's configuration for the whole program.
class LoopTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(ks_sim::testing::call_fault::available())
            << "the simulator's call fault is not there (not in the sandbox?)";
        ASSERT_EQ(make_path("/var/lib", 0755), 0);
        ASSERT_EQ(make_path("/etc", 0755), 0);
    }
    void TearDown() override { reset_device(true); }
};

}  // namespace loops
