// Socket policies: objects of the package that provides "_socket_", named
// "/" with an address family, optionally a socket type and a protocol
// separated by single spaces, turned into items of numbers. No kernel
// request carries them: loading a list validates it and releases it.
#pragma once

namespace RESTOK {
struct configuration;
struct package;
}  // namespace RESTOK

struct socket_policy_item {
    int family;
    int type;      // 0 when not given
    int protocol;  // 0 when not given
    int cred_type;
    int cred_value;
};

struct socket_policy {
    int count;
    int room;
    socket_policy_item *items;
};

struct socket_name {
    const char *name;
    int number;
    const socket_name *protocols;  // the family's protocol table, or null
    int protocol_count;
};

extern const socket_name socket_families[35];
extern const socket_name socket_types[6];
extern const socket_name socket_ip_protocols[27];

// Room for 20 items; beyond that every added item grows the array by one.
constexpr int SOCKET_POLICY_ROOM = 20;

// An empty list, or null when memory runs out.
socket_policy *socket_policy_new();
// Appends the item of the name (the object name after its '/'): 0; -22 for
// a name that cannot be read; -12 when the array cannot grow.
int socket_policy_add(socket_policy *list, const char *name, int cred_type, int cred_value);
// Releases the list; 0.
int socket_policy_load(socket_policy *list);
void socket_policy_free(socket_policy *list);
const char *socket_family_name(int number);
const char *socket_type_name(int number);
// protocols: a table of count rows, or null.
const char *socket_protocol_name(int number, const socket_name *protocols, int count);

// The socket step of the policy activation over the objects of the
// provider of "_socket_"; its errors are only reported.
void load_socket_policy(RESTOK::configuration *cfg, RESTOK::package *provider);
