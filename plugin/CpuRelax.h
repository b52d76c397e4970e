#pragma once

// A processor-level pause for spin loops: tells the core (and a sibling hyper-thread) that the
// thread is spinning, without giving up its time slice as an OS yield would.

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
#include <immintrin.h>
#elif defined(__aarch64__) || defined(__arm__)
#include <arm_acle.h>
#else
#include <thread>
#endif

namespace ormanta::plugins::TulService {

inline void cpuRelax() noexcept {
#if defined(_WIN32)
  YieldProcessor();
#elif defined(__x86_64__) || defined(__i386__) || defined(_M_X64) || defined(_M_IX86)
  _mm_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __yield();
#else
  std::this_thread::yield();
#endif
}

}  // namespace ormanta::plugins::TulService
