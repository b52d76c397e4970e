#pragma once

// Debian 12 ships hiredis 0.14.1, which predates two names of hiredis 1.x that this client
// uses: hi_free (1.0 routes every allocation through hiredis' allocator; 0.14 allocates
// with plain malloc) and the RESP3 push reply type (1.0).

#include <hiredis/hiredis.h>

#include <cstdlib>

#if HIREDIS_MAJOR < 1
// Releases what redisFormatCommandArgv allocated.
inline void hi_free(void* memory) noexcept { std::free(memory); }
#endif

#ifndef REDIS_REPLY_PUSH
// 0.14's reader cannot produce it: it rejects the '>' type byte as a protocol error.
#define REDIS_REPLY_PUSH 12
#endif
