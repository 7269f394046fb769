// Start-up of the resource-token policy: the root token and "tcb".
#pragma once

// Defines the root token (the empty name, top level) and "tcb" inside it:
// 0; -1 when the root definition fails; -2 when the "tcb" definition fails.
int init_security_policy();
