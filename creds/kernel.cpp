#include "creds/creds.h"
#include "creds/internal.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const creds_name creds_capability_names[41] = {
    {"chown", 5}, {"dac_override", 12}, {"dac_read_search", 15}, {"fowner", 6},
    {"fsetid", 6}, {"kill", 4}, {"setgid", 6}, {"setuid", 6}, {"setpcap", 7},
    {"linux_immutable", 15}, {"net_bind_service", 16}, {"net_broadcast", 13},
    {"net_admin", 9}, {"net_raw", 7}, {"ipc_lock", 8}, {"ipc_owner", 9},
    {"sys_module", 10}, {"sys_rawio", 9}, {"sys_chroot", 10}, {"sys_ptrace", 10},
    {"sys_pacct", 9}, {"sys_admin", 9}, {"sys_boot", 8}, {"sys_nice", 8},
    {"sys_resource", 12}, {"sys_time", 8}, {"sys_tty_config", 14}, {"mknod", 5},
    {"lease", 5}, {"audit_write", 11}, {"audit_control", 13}, {"setfcap", 7},
    {"mac_override", 12}, {"mac_admin", 9},
    {"CAP::", 5},
    {"Uid:", 4}, {"Gid:", 4}, {"Groups:", 7}, {"CapPrm:", 7}, {"CapInh:", 7}, {"CapEff:", 7},
};

namespace {

// Largest answer, in list words, that a query makes room for: far above
// what any process holds, and small enough that the size cannot wrap.
constexpr int max_answer_words = 1 << 20;
// Asks of one query at most.
constexpr int max_asks = 4;
// Longest text and largest buffer the 16-bit length field can describe.
constexpr size_t max_text = 0xFFFF;

// One ioctl on a request file opened read-only for it alone: the ioctl's
// result, with its errno kept across the close; *opened tells whether the
// file could be opened at all (errno then holds the open's error).
int request(const char *path, unsigned long command, void *record, bool *opened)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *opened = false;
        return -1;
    }
    *opened = true;
    int r = ioctl(fd, command, record);
    int saved = errno;
    close(fd);
    errno = saved;
    return r;
}

using ask_fn = int (*)(int id, uint32_t *list, int room);

// Reads the credentials of a process or peer into a new set, asking again
// with more room while the answer grows.
creds_handle creds_query(ask_fn ask, int id)
{
    auto h = static_cast<creds_handle>(
        std::malloc((CREDS_INITIAL_ROOM + 2) * sizeof(uint32_t)));
    if (!h)
        return nullptr;
    h->allocated = CREDS_INITIAL_ROOM;
    h->actual = 0;
    for (int asks = 0; asks < max_asks; asks++) {
        int answer = ask(id, h->list, int(h->allocated));
        if (answer < 0) {
            int err = answer == -1 ? errno : -answer;
            std::free(h);
            errno = err;
            return nullptr;
        }
        if (uint32_t(answer) <= h->allocated) {
            if (!creds_words_whole(h->list, uint32_t(answer))) {
                std::free(h);
                errno = EPROTO;
                return nullptr;
            }
            h->actual = uint32_t(answer);
            return h;
        }
        if (answer > max_answer_words) {
            std::free(h);
            errno = ENOMEM;
            return nullptr;
        }
        auto g = static_cast<creds_handle>(
            std::realloc(h, (size_t(answer) + 2) * sizeof(uint32_t)));
        if (!g) {
            std::free(h);
            errno = ENOMEM;
            return nullptr;
        }
        h = g;
        h->allocated = uint32_t(answer);
    }
    // The credentials kept growing faster than the room given.
    std::free(h);
    errno = EAGAIN;
    return nullptr;
}

}  // namespace

int kernel_task_creds(int pid, uint32_t *list, int room)
{
    creds_task_request req{pid, room, list};
    bool opened;
    int r = request(CREDS_READ_PATH, CREDS_IOC_TASK, &req, &opened);
    return opened ? r : proc_status_creds(pid, list, room);
}

int kernel_peer_creds(int fd, uint32_t *list, int room)
{
    creds_task_request req{fd, room, list};
    bool opened;
    int r = request(CREDS_READ_PATH, CREDS_IOC_PEER, &req, &opened);
    if (opened)
        return r;
    // Without the module the peer is found by its process id, which the
    // socket layer knows; its status file then gives its credentials.
    ucred peer{};
    socklen_t len = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) != 0)
        return -errno;
    if (peer.pid <= 0)
        return -ESRCH;  // a peer outside our process-id namespace
    return proc_status_creds(peer.pid, list, room);
}

creds_handle creds_for_task(int pid) { return creds_query(kernel_task_creds, pid); }

creds_handle creds_for_peer(int fd) { return creds_query(kernel_peer_creds, fd); }

int kernel_creds_to_text(int type, long value, char *buf, size_t size)
{
    if (!buf)
        size = 0;
    uint32_t word = uint32_t(value);
    creds_text_request req{};
    req.type = int16_t(type);
    req.length = uint16_t(size < max_text ? size : max_text);
    req.value = &word;
    req.text = buf;
    // The record carries the type in 16 bits; a type it cannot carry is
    // left to the library's own forms.
    if (type < -1 || type > 0x7FFF)
        return -1;
    bool opened;
    int r = request(CREDS_READ_PATH, CREDS_IOC_TO_TEXT, &req, &opened);
    if (opened) {
        // The kernel's text is terminated here whatever it wrote.
        if (r >= 0 && size > 0)
            buf[size_t(r) < size - 1 ? size_t(r) : size - 1] = '\0';
        return r;
    }

    if (type != CREDS_TYPE_CAP || value == -1)
        return -1;
    if (static_cast<unsigned long>(value) < CREDS_CAPABILITY_NAMED)
        return std::snprintf(buf, size, "CAP::%s", creds_capability_names[value].name);
    return std::snprintf(buf, size, "CAP::%ld", value);
}

int kernel_text_to_creds(const char *text, long *value)
{
    long local;
    if (!value)
        value = &local;
    if (!text)
        return -1;
    size_t len = std::strlen(text);
    // A text longer than the record's 16-bit length cannot be asked for;
    // it is no capability name either.
    if (len > max_text) {
        errno = EINVAL;
        return -1;
    }
    {
        uint32_t word = UINT32_MAX;
        creds_text_request req{};
        req.type = -1;
        req.length = uint16_t(len);
        req.value = &word;
        req.text = const_cast<char *>(text);
        bool opened;
        int r = request(CREDS_READ_PATH, CREDS_IOC_FROM_TEXT, &req, &opened);
        if (opened) {
            if (r >= 0)
                *value = long(int32_t(word));
            return r;
        }
    }

    const creds_name &cap = creds_capability_names[CREDS_CAPABILITY_NAMED];
    if (len <= 4 || std::strncmp(text, cap.name, cap.length) != 0)
        return -1;
    const char *name = text + cap.length;
    size_t name_len = len - cap.length;
    for (int row = 0; row < CREDS_CAPABILITY_NAMED; row++) {
        const creds_name &n = creds_capability_names[row];
        if (n.length == name_len && std::memcmp(n.name, name, name_len) == 0) {
            *value = row;
            return CREDS_TYPE_CAP;
        }
    }
    return -1;
}
