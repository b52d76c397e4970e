#pragma once

namespace tul::test {

// A TCP port on 127.0.0.1 that was free a moment ago (the kernel's pick for port 0). Another
// process may take it before the caller binds it; callers that bind retry on failure.
int freeLoopbackPort();

}  // namespace tul::test
