#pragma once

#include "support/LoopbackPeer.h"

namespace tul::test {

// A TCP port on 127.0.0.1 that was free a moment ago; another process may take it first.
inline int freeLoopbackPort() { return LoopbackListener().port(); }

}  // namespace tul::test
