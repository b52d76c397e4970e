// Replaces the global allocation functions of tul-bench with counting ones, so that a figure
// can tell how many allocations a step made on its thread (threadAllocations) or anywhere
// (processAllocations). malloc, calloc and realloc are interposed as well (glibc's own
// entry points do the work), so that allocations of C libraries such as hiredis, which
// operator new never sees, are counted too (threadHeapAllocations).

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "Measure.h"

namespace {

std::atomic<std::uint64_t> processCount{0};
thread_local std::uint64_t threadCount = 0;
thread_local std::uint64_t threadHeapCount = 0;

void* allocate(std::size_t size) {
  ++threadCount;
  processCount.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  ++threadCount;
  processCount.fetch_add(1, std::memory_order_relaxed);
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  if (void* p = std::aligned_alloc(align, (size + align - 1) / align * align)) return p;
  throw std::bad_alloc();
}

}  // namespace

namespace tul::bench {
std::uint64_t threadAllocations() { return threadCount; }
std::uint64_t processAllocations() { return processCount.load(std::memory_order_relaxed); }
std::uint64_t threadHeapAllocations() { return threadHeapCount; }
}  // namespace tul::bench

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);

void* malloc(std::size_t size) noexcept {
  ++threadHeapCount;
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  ++threadHeapCount;
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  ++threadHeapCount;
  return __libc_realloc(p, size);
}
}

// GCC cannot see that new and delete are replaced as a pair.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) { return allocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocateAligned(size, alignment);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
