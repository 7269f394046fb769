// Socket policies: names of families, types and protocols to numbers.
#include "restok/socket_policy.h"

#include "restok/policy.h"

#include <err.h>

#include <cstdlib>
#include <cstring>

const socket_name socket_ip_protocols[27] = {
    {"hopopts", 0, nullptr, 0}, {"icmp", 1, nullptr, 0},     {"igmp", 2, nullptr, 0},
    {"ipip", 4, nullptr, 0},    {"tcp", 6, nullptr, 0},      {"egp", 8, nullptr, 0},
    {"pup", 12, nullptr, 0},    {"udp", 17, nullptr, 0},     {"idp", 22, nullptr, 0},
    {"tp", 29, nullptr, 0},     {"ipv6", 41, nullptr, 0},    {"routing", 43, nullptr, 0},
    {"fragment", 44, nullptr, 0}, {"rsvp", 46, nullptr, 0},  {"gre", 47, nullptr, 0},
    {"esp", 50, nullptr, 0},    {"ah", 51, nullptr, 0},      {"icmpv6", 58, nullptr, 0},
    {"none", 59, nullptr, 0},   {"dstopts", 60, nullptr, 0}, {"mtp", 92, nullptr, 0},
    {"encap", 98, nullptr, 0},  {"pim", 103, nullptr, 0},    {"comp", 108, nullptr, 0},
    {"sctp", 132, nullptr, 0},  {"raw", 255, nullptr, 0},    {"max", 256, nullptr, 0},
};

#define KS_IP socket_ip_protocols, 27
const socket_name socket_families[35] = {
    {"unspec", 0, nullptr, 0},     {"local", 1, nullptr, 0},     {"unix", 1, nullptr, 0},
    {"file", 1, nullptr, 0},       {"inet", 2, KS_IP},           {"ax25", 3, nullptr, 0},
    {"ipx", 4, nullptr, 0},        {"appletalk", 5, nullptr, 0}, {"netrom", 6, nullptr, 0},
    {"bridge", 7, nullptr, 0},     {"atmpvc", 8, nullptr, 0},    {"x25", 9, nullptr, 0},
    {"inet6", 10, KS_IP},          {"rose", 11, nullptr, 0},     {"decnet", 12, nullptr, 0},
    {"netbeui", 13, nullptr, 0},   {"security", 14, nullptr, 0}, {"key", 15, nullptr, 0},
    {"netlink", 16, nullptr, 0},   {"route", 16, nullptr, 0},    {"packet", 17, nullptr, 0},
    {"ash", 18, nullptr, 0},       {"econet", 19, nullptr, 0},   {"sna", 22, nullptr, 0},
    {"irda", 23, nullptr, 0},      {"pppox", 24, nullptr, 0},    {"wanpipe", 25, nullptr, 0},
    {"atmsvc", 20, nullptr, 0},    {"bluetooth", 31, nullptr, 0}, {"iucv", 32, nullptr, 0},
    {"rxrpc", 33, nullptr, 0},     {"isdn", 34, nullptr, 0},     {"phonet", 35, nullptr, 0},
    {"ieee802154", 36, nullptr, 0}, {"max", 37, nullptr, 0},
};
#undef KS_IP

const socket_name socket_types[6] = {
    {"stream", 1, nullptr, 0}, {"dgram", 2, nullptr, 0},     {"raw", 3, nullptr, 0},
    {"rdm", 4, nullptr, 0},    {"seqpacket", 5, nullptr, 0}, {"packet", 10, nullptr, 0},
};

namespace {

// The row whose name is the word of n characters, or null.
const socket_name *find_word(const socket_name *rows, int count, const char *word, size_t n)
{
    for (int i = 0; i < count; i++)
        if (std::strlen(rows[i].name) == n && std::memcmp(rows[i].name, word, n) == 0)
            return &rows[i];
    return nullptr;
}

const char *name_of(const socket_name *rows, int count, int number)
{
    if (!rows)
        return nullptr;
    for (int i = 0; i < count; i++)
        if (rows[i].number == number)
            return rows[i].name;
    return nullptr;
}

}  // namespace

socket_policy *socket_policy_new()
{
    auto *list = static_cast<socket_policy *>(std::calloc(1, sizeof(socket_policy)));
    if (!list)
        return nullptr;
    list->items = static_cast<socket_policy_item *>(
        std::calloc(SOCKET_POLICY_ROOM, sizeof(socket_policy_item)));
    if (!list->items) {
        std::free(list);
        return nullptr;
    }
    list->room = SOCKET_POLICY_ROOM;
    return list;
}

int socket_policy_add(socket_policy *list, const char *name, int cred_type, int cred_value)
{
    if (!list || !name)
        return -22;
    if (list->count >= list->room) {
        void *grown = std::realloc(list->items, (size_t(list->count) + 1) * sizeof(socket_policy_item));
        if (!grown)
            return -12;
        list->items = static_cast<socket_policy_item *>(grown);
        list->room = list->count + 1;
    }
    socket_policy_item item{0, 0, 0, cred_type, cred_value};
    const char *space = std::strchr(name, ' ');
    size_t n = space ? size_t(space - name) : std::strlen(name);
    const socket_name *family = find_word(socket_families, 35, name, n);
    if (!family)
        return -22;
    item.family = family->number;
    if (space) {
        const char *word = space + 1;
        space = std::strchr(word, ' ');
        n = space ? size_t(space - word) : std::strlen(word);
        const socket_name *type = find_word(socket_types, 6, word, n);
        if (!type)
            return -22;
        item.type = type->number;
        if (space) {
            word = space + 1;
            space = std::strchr(word, ' ');
            n = space ? size_t(space - word) : std::strlen(word);
            const socket_name *protocol =
                family->protocols ? find_word(family->protocols, family->protocol_count, word, n)
                                  : nullptr;
            if (!protocol)
                return -22;
            item.protocol = protocol->number;
        }
    }
    list->items[list->count++] = item;
    return 0;
}

int socket_policy_load(socket_policy *list)
{
    socket_policy_free(list);
    return 0;
}

void socket_policy_free(socket_policy *list)
{
    if (!list)
        return;
    std::free(list->items);
    std::free(list);
}

const char *socket_family_name(int number) { return name_of(socket_families, 35, number); }

const char *socket_type_name(int number) { return name_of(socket_types, 6, number); }

const char *socket_protocol_name(int number, const socket_name *protocols, int count)
{
    return name_of(protocols, count, number);
}

void load_socket_policy(RESTOK::configuration *, RESTOK::package *provider)
{
    socket_policy *list = socket_policy_new();
    if (!list) {
        warnx("Socket policy setup failed");
        return;
    }
    int errors = 0;
    for (RESTOK::object *o = provider->objects; o; o = o->next) {
        if (o->res->name[0] != '/')
            continue;
        const char *name = o->res->name + 1;
        int type = -1, value = -1;
        if (RESTOK::request *r = o->requests) {
            type = r->pkg->type;
            if (type == -1 && r->pkg->provider)
                type = r->pkg->provider->type;
            value = r->res->value;
            if (r->next)
                warnx("Ignoring extra crentials for the object %s", name);
        } else {
            warnx("No credentials for the object %s", name);
        }
        if (socket_policy_add(list, name, type, value) != 0) {
            warnx("Failed adding socket policy for '%s'", name);
            errors++;
        }
    }
    if (errors) {
        warnx("Not loading new socket policy due to errors");
        socket_policy_free(list);
        return;
    }
    if (socket_policy_load(list) != 0)
        warnx("Failed loading new socket policy");
}
