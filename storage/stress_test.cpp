// The stress run: several processes write, remove, rename and sign in a
// signed store, an encrypted store and the store of "tcb" (and, without
// the hardware, in a store signed "external") while the parent kills one
// of them at random every few hundred milliseconds and starts it again.
// Each worker logs what it is about to do and what the operation answered
// (its own keys only, so the log orders everything that touches them). A
// worker started after a kill first reads the keys of the operation that
// was cut short and checks that each shows its old or its new value (or,
// for an operation that is not atomic against a kill, reads as a
// failure); at the end a fresh process checks every key against its last
// acknowledged value.
//
// KS_STRESS_PROCS and KS_STRESS_SECONDS size the run (scripts/storage-stress.sh).
#include "storage/loop_support.h"

#include <poll.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <sstream>

namespace {

using loops::child_result;
using loops::in_child;

const char *const STRESS_SIGNED = "stress.s";
const char *const STRESS_ENCRYPTED = "stress.e";
const char *const STRESS_EXTERNAL = "stress.x";
const char *const LOG_DIR = "/var/lib/stress-logs";
constexpr int KEYS = 3;

enum kind { SIGNED, ENCRYPTED, EXTERNAL, TCB };

// One key: a member of a store, or a signed file.
struct key {
    kind k;
    std::string name;
    bool operator<(const key &o) const { return k != o.k ? k < o.k : name < o.name; }
};

std::string key_name(kind k, int worker, int n)
{
    switch (k) {
    case SIGNED: return "/etc/ss" + std::to_string(worker) + "." + std::to_string(n);
    case ENCRYPTED: return "/w" + std::to_string(worker) + "/" + std::to_string(n);
    case EXTERNAL: return "/etc/sx" + std::to_string(worker) + "." + std::to_string(n);
    case TCB: return "/etc/st" + std::to_string(worker) + "." + std::to_string(n);
    }
    return "";
}

// The key as a fresh store object reads it: the content, "<absent>" or
// "<unreadable>".
std::string read_key(const key &k)
{
    if (k.k == TCB) {
        if (::access(k.name.c_str(), F_OK) != 0)
            return "<absent>";
        int r = tarvo_crypto_verify_file(k.name.c_str(), nullptr, 0, loops::OWNER);
        return r == 0 ? loops::plain(k.name) : "<unreadable>";
    }
    const char *store = k.k == SIGNED ? STRESS_SIGNED : k.k == ENCRYPTED ? STRESS_ENCRYPTED : STRESS_EXTERNAL;
    const char *owner = k.k == EXTERNAL ? loops::EXTERNAL_OWNER : loops::OWNER;
    tarvo::storage st(store, owner, 0, k.k == ENCRYPTED ? 1 : 0);
    if (!st.contains_file(k.name.c_str()))
        return "<absent>";
    unsigned char *data = nullptr;
    size_t size = 0;
    std::string v = "<unreadable>";
    if (st.get_file(k.name.c_str(), &data, &size) == 0)
        v.assign(reinterpret_cast<char *>(data), size);
    free(data);
    return v;
}

// ---- the log ----------------------------------------------------------------

// "I op kind name kind2 name2 value" before an operation, "A" or "F" after
// it, "R kind name value" for a key read after a cut, "X text" for a wrong
// state seen then.
struct intent {
    std::string op;
    key a, b;  // b: a rename's target
    std::string value;
};

std::string log_path(int worker) { return std::string(LOG_DIR) + "/" + std::to_string(worker); }

void log_line(int worker, const std::string &line)
{
    int fd = ::open(log_path(worker).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        _exit(97);
    std::string l = line + "\n";
    if (::write(fd, l.data(), l.size()) != ssize_t(l.size()))
        _exit(97);
    ::close(fd);
}

struct worker_state {
    std::map<key, std::string> acked;  // last acknowledged value per key
    bool open_intent = false;          // the last intent has no answer
    intent last;
    std::vector<std::string> wrong;  // "X" lines
    int done = 0;                    // operations answered
};

worker_state replay(int worker)
{
    worker_state s;
    std::istringstream in(loops::plain(log_path(worker)) == "<nofile>" ? "" : loops::plain(log_path(worker)));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string tag;
        f >> tag;
        if (tag == "I") {
            int ka, kb;
            f >> s.last.op >> ka >> s.last.a.name >> kb >> s.last.b.name >> s.last.value;
            s.last.a.k = kind(ka);
            s.last.b.k = kind(kb);
            s.open_intent = true;
        } else if (tag == "A" && s.open_intent) {
            const intent &i = s.last;
            if (i.op == "put" || i.op == "sign")
                s.acked[i.a] = i.value;
            else if (i.op == "remove")
                s.acked[i.a] = "<absent>";
            else if (i.op == "rename") {
                s.acked[i.b] = s.acked.count(i.a) ? s.acked[i.a] : "<absent>";
                s.acked[i.a] = "<absent>";
            }
            s.open_intent = false;
            s.done++;
        } else if (tag == "F") {
            s.open_intent = false;
            s.done++;
        } else if (tag == "R") {
            int k;
            key kk;
            std::string v;
            f >> k >> kk.name >> v;
            kk.k = kind(k);
            s.acked[kk] = v;
        } else if (tag == "X") {
            s.wrong.push_back(line.substr(2));
        }
    }
    return s;
}

std::string value_of(const std::map<key, std::string> &m, const key &k)
{
    auto it = m.find(k);
    return it == m.end() ? "<absent>" : it->second;
}

// What a key may read after the operation was cut short.
std::set<std::string> allowed_after_cut(const worker_state &s, const key &k)
{
    const intent &i = s.last;
    std::string old_value = value_of(s.acked, k);
    std::set<std::string> ok = {old_value};
    if (i.op == "put" || i.op == "sign") {
        ok.insert(i.value);
        // put_file over a listed member is not atomic against a kill.
        if (i.op == "put" && old_value != "<absent>")
            ok.insert("<unreadable>");
    } else if (i.op == "remove") {
        ok.insert("<absent>");
    } else if (i.op == "rename") {
        ok.insert(k.name == i.a.name ? "<absent>" : value_of(s.acked, i.a));
    }
    return ok;
}

// A worker started after a kill: reads the keys the cut operation touched,
// records what they show and any wrong state.
void resolve_cut(int worker, worker_state &s)
{
    if (!s.open_intent)
        return;
    std::vector<key> touched = {s.last.a};
    if (s.last.op == "rename")
        touched.push_back(s.last.b);
    for (const key &k : touched) {
        std::string seen = read_key(k);
        std::set<std::string> ok = allowed_after_cut(s, k);
        if (!ok.count(seen))
            log_line(worker, "X cut " + s.last.op + " " + k.name + " reads [" + seen.substr(0, 40) +
                                 "] not old [" + value_of(s.acked, k).substr(0, 40) + "] or new");
        if (seen.find_first_of(" \n") != std::string::npos || seen.empty())
            seen = "<unreadable>";
        log_line(worker, "R " + std::to_string(int(k.k)) + " " + k.name + " " + seen);
        s.acked[k] = seen;
    }
    s.open_intent = false;
}

// ---- a worker ------------------------------------------------------------------

bool do_op(const intent &i)
{
    if (i.op == "sign")
        return tarvo_crypto_sign_file(i.a.name.c_str(),
                                      reinterpret_cast<const unsigned char *>(i.value.data()),
                                      i.value.size(), loops::OWNER) == 0;
    const char *store = i.a.k == SIGNED ? STRESS_SIGNED : i.a.k == ENCRYPTED ? STRESS_ENCRYPTED : STRESS_EXTERNAL;
    const char *owner = i.a.k == EXTERNAL ? loops::EXTERNAL_OWNER : loops::OWNER;
    int protection = i.a.k == ENCRYPTED ? 1 : 0;
    if (i.op == "put")
        return loops::store_put(store, owner, protection, i.a.name, i.value);
    tarvo::storage st(store, owner, 0, protection);
    if (i.op == "remove") {
        st.remove_file(i.a.name.c_str());
        return !st.contains_file(i.a.name.c_str()) && st.commit();
    }
    // rename (encrypted stores only: their data files move with the entry)
    st.rename(i.a.name.c_str(), i.b.name.c_str());
    return st.contains_file(i.b.name.c_str()) && !st.contains_file(i.a.name.c_str()) && st.commit();
}

[[noreturn]] void run_worker(int worker, bool hardware, const std::string &stop_file)
{
    restok_be_manager();
    worker_state s = replay(worker);
    resolve_cut(worker, s);
    std::mt19937 rng(unsigned(getpid()) * 2654435761u + unsigned(worker));
    std::vector<kind> kinds = hardware ? std::vector<kind>{SIGNED, ENCRYPTED, TCB}
                                       : std::vector<kind>{EXTERNAL};
    for (long seq = s.done; ::access(stop_file.c_str(), F_OK) != 0; seq++) {
        intent i;
        i.a.k = kinds[rng() % kinds.size()];
        i.a.name = key_name(i.a.k, worker, int(rng() % KEYS));
        i.b = i.a;
        std::string now = value_of(s.acked, i.a);
        unsigned pick = rng() % 10;
        if (i.a.k == TCB) {
            i.op = "sign";
        } else if (pick < 6 || now == "<absent>") {
            i.op = "put";
        } else if (pick < 8 || i.a.k != ENCRYPTED) {
            i.op = "remove";
        } else {
            i.op = "rename";
            i.b.name = key_name(ENCRYPTED, worker, int(rng() % KEYS));
            if (i.b.name == i.a.name || value_of(s.acked, i.b) != "<absent>" || now == "<unreadable>")
                i.op = "put";
        }
        // Sizes from a few bytes to a few pages.
        size_t length = size_t(8 + rng() % 6000);
        i.value = loops::content("w" + std::to_string(worker) + "s" + std::to_string(seq), length);
        for (char &c : i.value)
            if (c == ' ' || c == '\n')
                c = '_';
        log_line(worker, "I " + i.op + " " + std::to_string(int(i.a.k)) + " " + i.a.name + " " +
                             std::to_string(int(i.b.k)) + " " + i.b.name + " " + i.value);
        s.last = i;
        s.open_intent = true;
        bool ok = do_op(i);
        log_line(worker, ok ? "A" : "F");
        if (ok) {
            if (i.op == "put" || i.op == "sign")
                s.acked[i.a] = i.value;
            else if (i.op == "remove")
                s.acked[i.a] = "<absent>";
            else {
                s.acked[i.b] = now;
                s.acked[i.a] = "<absent>";
            }
        } else {
            // A reported failure leaves the old value; what it reads now
            // is checked at the end against it.
        }
        s.open_intent = false;
        s.done++;
    }
    _exit(0);
}

struct stress_result {
    int operations = 0, kills = 0, lost = 0, wrong_after_cut = 0, stuck = 0;
    std::vector<std::string> reports;
};

long env_number(const char *name, long fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

stress_result run_stress(bool hardware, int procs, double seconds)
{
    stress_result result;
    loops::reset_device(hardware);
    nftw(LOG_DIR, loops::remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    make_path(LOG_DIR, 0755);
    for (int w = 0; w < procs; w++)
        for (int n = 0; n < KEYS; n++)
            for (kind k : {SIGNED, EXTERNAL, TCB})
                ::unlink(key_name(k, w, n).c_str());
    const std::string stop_file = std::string(LOG_DIR) + "/stop";
    std::vector<pid_t> pids(size_t(procs), -1);
    auto start = [&](int w) {
        std::fflush(nullptr);
        pid_t p = test_fork();
        if (p == 0)
            run_worker(w, hardware, stop_file);
        pids[size_t(w)] = p;
    };
    for (int w = 0; w < procs; w++)
        start(w);
    std::mt19937 rng(12345);
    auto begin = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    };
    while (elapsed() < seconds) {
        // A kill every 0 to 1 s (poll: the simulator scales its sleeps).
        ::poll(nullptr, 0, int(rng() % 1000));
        int w = int(rng() % unsigned(procs));
        if (pids[size_t(w)] > 0) {
            ::kill(pids[size_t(w)], SIGKILL);
            int status;
            waitpid(pids[size_t(w)], &status, 0);
            result.kills++;
        }
        start(w);
    }
    // Stop: every worker ends its operation and exits within 20 s, or it
    // counts as stuck.
    loops::put_plain(stop_file, "stop\n");
    for (int w = 0; w < procs; w++) {
        int status = 0;
        pid_t p = pids[size_t(w)];
        bool ended = false;
        for (int t = 0; t < 2000 && !ended; t++) {
            pid_t r = waitpid(p, &status, WNOHANG);
            ended = r == p;
            if (!ended)
                ::poll(nullptr, 0, 10);
        }
        if (!ended) {
            result.stuck++;
            ::kill(p, SIGKILL);
            waitpid(p, &status, 0);
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            result.reports.push_back("worker " + std::to_string(w) + " ended with status " +
                                     std::to_string(status));
        }
    }
    ::unlink(stop_file.c_str());
    // The check, in a fresh process: every key against its last
    // acknowledged value (a worker still killed mid-operation at the end is
    // resolved first, as its restart would).
    child_result check = in_child([&](std::string &out) {
        restok_be_manager();
        int lost = 0, wrong = 0, ops = 0;
        for (int w = 0; w < procs; w++) {
            worker_state s = replay(w);
            resolve_cut(w, s);
            s = replay(w);
            ops += s.done;
            for (const std::string &x : s.wrong) {
                wrong++;
                out += "worker " + std::to_string(w) + ": " + x + "\n";
            }
            for (const auto &kv : s.acked) {
                std::string seen = read_key(kv.first);
                if (seen.find_first_of(" \n") != std::string::npos || seen.empty())
                    seen = "<unreadable>";
                if (seen != kv.second) {
                    lost++;
                    out += "worker " + std::to_string(w) + ": " + kv.first.name + " reads [" +
                           seen.substr(0, 40) + "] not its acknowledged [" + kv.second.substr(0, 40) + "]\n";
                }
            }
        }
        out = std::to_string(ops) + " " + std::to_string(lost) + " " + std::to_string(wrong) + "\n" + out;
        return 0;
    }, 600);
    std::istringstream in(check.out);
    in >> result.operations >> result.lost >> result.wrong_after_cut;
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line))
        if (result.reports.size() < 20)
            result.reports.push_back(line);
    if (!check.exited(0))
        result.reports.push_back("the check ended with status " + std::to_string(check.status));
    return result;
}

class StorageStress : public loops::LoopTest, public ::testing::WithParamInterface<bool> {};

TEST_P(StorageStress, KillsLoseNoAcknowledgedWrite)
{
    const bool hardware = GetParam();
    const int procs = int(env_number("KS_STRESS_PROCS", 4));
    const double seconds = double(env_number("KS_STRESS_SECONDS", 6));
    stress_result r = run_stress(hardware, procs, seconds);
    std::printf("stress (%s): %d processes, %.0f s, %d operations answered, %d kills, %d lost keys, "
                "%d wrong states after a kill, %d stuck\n",
                hardware ? "hardware" : "no hardware", procs, seconds, r.operations, r.kills,
                r.lost, r.wrong_after_cut, r.stuck);
    for (const std::string &m : r.reports)
        ADD_FAILURE() << m;
    EXPECT_GT(r.operations, 0);
    EXPECT_EQ(r.lost, 0);
    EXPECT_EQ(r.wrong_after_cut, 0);
    EXPECT_EQ(r.stuck, 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, StorageStress, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "WithHardware" : "WithoutHardware");
                         });

}  // namespace
