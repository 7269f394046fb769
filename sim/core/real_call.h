// The C library's own function behind one the simulator interposes: the
// next definition of the name after libkeepstone-sim.so, looked up once.
#pragma once

#include <dlfcn.h>

namespace ks_sim::real_call {

template <class F>
F next(const char *name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace ks_sim::real_call

// Inside an interposed function: real_NAME, of the given function type,
// is the C library's NAME.
#define REAL(name, ...)                                                           \
    using real_##name##_type = __VA_ARGS__;                                       \
    static real_##name##_type real_##name = nullptr;                              \
    if (!real_##name)                                                             \
        real_##name = ks_sim::real_call::next<real_##name##_type>(#name)
