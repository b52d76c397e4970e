#pragma once

// ORMANTA_THREAD_ANNOTATION(x): clang's thread-safety attribute x (checked with
// -Wthread-safety), nothing for other compilers. The attributes have no spelling but the GNU
// one, so the compiler-specific line lives here, once.

#if defined(__clang__)
#define ORMANTA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ORMANTA_THREAD_ANNOTATION(x)
#endif
