// Start-up of the resource-token policy: the root token and "tcb", then the
// policy loaded, defined and activated in the kernel.
#pragma once

// Defines the root token (the empty name, top level) and "tcb" inside it:
// 0; -1 when the root definition fails; -2 when the "tcb" definition fails.
int init_security_policy();

// Loads the policy file, makes the process the token manager, defines
// "SRC", the policy's resources and activates the policy: 0; -2 when the
// resources cannot all be defined; -3 when the activation fails (wins over
// -2); -4 when the policy cannot be loaded; -5, with nothing defined, when
// require_trusted is set and the bytes loaded do not verify under "tcb"
// (the file changed since its check: what is parsed is what is verified).
// The configuration stays loaded for the rest of the run.
int load_security_policy(bool require_trusted = false);
