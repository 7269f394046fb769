// The protected file system's side of the ".tarvofs-signature" challenge
// (tarvofs.cpp describes the answers, their state file and the faults).
#pragma once

#include "sim/model.h"

namespace ks_sim {

constexpr const char TARVOFS_ANSWERS[] = "tarvofs.answers";

// The registered handler of the attribute, for driving it directly.
xattr_handler &tarvofs_challenge_handler();

}  // namespace ks_sim
