// Credential sets, their text forms, the credentials of processes and the
// object policies handed to the kernel.
//
// A credential set is one heap block of 32-bit words: the number of list
// words in use, the number of list words allocated, then the entries back
// to back. An entry is a header word (type in the low 16 bits, value count
// in the high 16 bits) followed by its values. Type 0 is the capability
// bitmap (two words, capabilities 0-63), 1 the user id, 2 the group id,
// 3 the supplementary groups; types 4 and above are defined by the kernel
// and only ever come from its answers. A null handle is the empty set.
#pragma once

#include <cstddef>
#include <cstdint>

struct creds_set {
    uint32_t actual;     // list words in use
    uint32_t allocated;  // list words the block has room for
    uint32_t list[];     // the entries
};
typedef creds_set *creds_handle;

// Credential types the library itself knows.
enum : int {
    CREDS_TYPE_CAP = 0,
    CREDS_TYPE_UID = 1,
    CREDS_TYPE_GID = 2,
    CREDS_TYPE_GRP = 3,
};

// List words a set starts with when it is made by adding to the empty set
// or read from the kernel.
constexpr uint32_t CREDS_INITIAL_ROOM = 40;
// Largest value count an entry header can carry.
constexpr uint32_t CREDS_MAX_VALUES = 0xFFFF;

// Header word of an entry.
constexpr uint32_t creds_header(uint32_t type, uint32_t count)
{
    return (count << 16) | (type & 0xFFFF);
}
constexpr uint32_t creds_header_type(uint32_t header) { return header & 0xFFFF; }
constexpr uint32_t creds_header_count(uint32_t header) { return header >> 16; }

// ---- Sets in memory ----------------------------------------------------

creds_handle creds_empty();
// Empties the set and keeps its block; null stays null.
creds_handle creds_reset(creds_handle handle);
void creds_release(creds_handle handle);
// A new set holding a copy of count words in the layout of `list`. Null
// with errno EINVAL when count is negative or the words do not form whole
// entries, ENOMEM when memory runs out.
creds_handle creds_from_list(const uint32_t *words, int count);
// The set's list words, their number in *count. Null with *count 0 for the
// empty set; null without storing anything when count is null. The pointer
// is invalidated by the next change of the set.
const uint32_t *creds_raw_list(const creds_set *handle, int *count);
// 1 when the set holds the credential (types 0 to 3 only), else 0. A
// process counts as a member of its own primary group.
int creds_has(const creds_set *handle, int type, int value);
int creds_test(const creds_set *handle, int type, int value);
// Type of the index-th credential (every capability bit, id and group is
// one; kernel-defined entries are skipped), its value in *value; -1 past
// the end.
int creds_entry(const creds_set *handle, int index, int *value);
// Adds a credential of type 0 to 3, growing the set under *handle as
// needed: 0, or -1 for another type, a capability outside 0-63, a full
// entry, a null handle pointer or no memory. *handle stays a valid set
// (and must be released) on every path.
int creds_add(creds_handle *handle, int type, int value);
// Removes a credential in place; never reallocates.
void creds_remove(creds_handle handle, int type, int value);

// ---- Text forms --------------------------------------------------------

struct creds_prefix {
    const char *prefix;
    size_t length;
    int type;
};
// "CAP::", "UID::", "GID::", "GRP::" for the types 0 to 3.
extern const creds_prefix creds_prefixes[4];

// Type of a credential text, or -1; *value (may be null) receives the value,
// -1 for a type without a value or on failure.
int creds_from_text(const char *text, long *value);
// Writes the text of a credential like snprintf: returns the length of the
// full text, the text cut to size - 1 characters and terminated when
// size > 0.
int creds_to_text(int type, long value, char *buf, size_t size);
// Text of the first credential of the set whose text matches the pattern
// ('*' any run, '?' one character): its length, the text in buf; -1 when
// none matches. A text that does not fit (a result not below size) ends the
// search with that result.
int creds_match(const creds_set *handle, const char *pattern, char *buf, size_t size);

// ---- Kernel requests ---------------------------------------------------

// The credentials module's request file and its commands.
#define CREDS_READ_PATH "/sys/kernel/security/creds/read"
constexpr unsigned long CREDS_IOC_TASK = 0x89F0;      // credentials of a process
constexpr unsigned long CREDS_IOC_TO_TEXT = 0x89F1;   // value to text
constexpr unsigned long CREDS_IOC_FROM_TEXT = 0x89F2; // text to value
constexpr unsigned long CREDS_IOC_PEER = 0x89F3;      // credentials of a socket peer

// The object-policy module's request file and its commands.
#define CREDP_POLICY_PATH "/sys/kernel/security/credp/policy"
constexpr unsigned long CREDP_IOC_DEFINE = 0x89F0;
constexpr unsigned long CREDP_IOC_NAME_89F1 = 0x89F1;
constexpr unsigned long CREDP_IOC_NAME_89F2 = 0x89F2;
constexpr unsigned long CREDP_IOC_APPLY = 0x89F3;
constexpr unsigned long CREDP_IOC_REQUEST = 0x89F5;

// Argument records of the requests. The kernel's layout is the 32-bit ARM
// one (12, 12 and 20 bytes); elsewhere the pointer fields are native.
struct creds_task_request {
    int32_t id;        // process id (0 = caller) or socket descriptor
    int32_t room;      // words available at list
    uint32_t *list;    // words to fill, in the layout of a set's list
};
struct creds_text_request {
    int16_t type;      // the type to translate, -1 for text to value
    uint16_t length;   // buffer size (to text) or text length (from text)
    uint32_t *value;   // the value to translate, or where the kernel stores it
    char *text;        // the buffer to fill, or the text to translate
};
struct credp_policy_request {
    int32_t flags;          // policy-flag word, or 0
    uint32_t name_length;   // strlen of the name, 0 without one
    const char *name;       // object name or null
    int32_t count;          // credential words at list
    const uint32_t *list;   // a set's list, null with count 0 for the empty set
};
#if defined(__arm__)
static_assert(sizeof(creds_task_request) == 12, "creds_task_request layout");
static_assert(sizeof(creds_text_request) == 12, "creds_text_request layout");
static_assert(sizeof(credp_policy_request) == 20, "credp_policy_request layout");
#endif

// Capability names: rows 0 to 33 the capabilities in number order, row 34
// "CAP::", rows 35 to 40 the keys of the status file.
struct creds_name {
    const char *name;
    size_t length;
};
constexpr int CREDS_CAPABILITY_NAMED = 34;
extern const creds_name creds_capability_names[41];

// Credentials of a process (0 = the caller) or of the peer of a connected
// socket: a new set, or null with errno set.
creds_handle creds_for_task(int pid);
creds_handle creds_for_peer(int fd);

// Translations by the kernel, or the built-in capability names when the
// credentials file cannot be opened.
int kernel_text_to_creds(const char *text, long *value);
int kernel_creds_to_text(int type, long value, char *buf, size_t size);
// Words the credentials need (written only while they fit room), or a
// negative value: -1 with errno for a failed request, a negated errno
// value from the status fallback.
int kernel_task_creds(int pid, uint32_t *list, int room);
int kernel_peer_creds(int fd, uint32_t *list, int room);
// Reads "/proc/%d/status" ("/proc/self/status" for 0).
int proc_status_creds(int pid, uint32_t *list, int room);
// One request on the policy file: the kernel's answer, or the negated errno
// value when the file cannot be opened.
int credp_ioctl(int command, int flags, const char *name, const uint32_t *list, int count);

// ---- Object policies ---------------------------------------------------

struct creds_flag_word {
    const char *word;
    size_t length;
    int group;  // mask of the group the word sets
    int value;  // value within the group
};
extern const creds_flag_word creds_flag_words[9];

constexpr int CREDS_FLAGS_DEFAULT = 0x19;       // set, inheritable, realxid
constexpr int CREDS_FLAGS_DEFAULT_MASK = 0x1F;

// Flag word of a policy text, or -1; *mask (may be null) receives the
// groups given: 0 after an unknown word, the group's mask after two words
// for one group.
int creds_flags_from_text(const char *text, int *mask);
// Words of the groups in mask, like snprintf.
int creds_flags_to_text(int flags, int mask, char *buf, size_t size);

int creds_define_policy(int flags, const char *name, const creds_set *handle);
int creds_apply(const creds_set *handle);
int creds_apply_with_flags(const creds_set *handle, int flags);
int creds_policy_request(const char *name, int flags, const creds_set *handle);
int creds_policy_request_default(const char *name);
int credp_name_request_89f1(const char *name);
int credp_name_request_89f2(const char *name);
