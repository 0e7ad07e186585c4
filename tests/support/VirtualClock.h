// Engine tests run in virtual time (the clock lives with the real one in link/Clock.h).
#pragma once

#include "link/Clock.h"

namespace kavel::test {
using kavel::TVirtualClock;
}  // namespace kavel::test
