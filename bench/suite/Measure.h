#pragma once

// What the figures measure with: CPU clocks, resident memory, allocation counts, percentiles,
// and the text of numbers in the table.

#include <pthread.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tul::bench {

using Clock = std::chrono::steady_clock;

// Seconds since `start` on the steady clock.
double secondsSince(Clock::time_point start);

// CPU time in nanoseconds: of the whole process, of the calling thread, of another thread.
std::int64_t processCpuNs();
std::int64_t threadCpuNs();
std::int64_t threadCpuNs(pthread_t thread);
// The threads of this process by kernel id, and the CPU time of one of them (Linux).
std::vector<int> threadIds();
std::int64_t threadCpuNsById(int threadId);

// Resident memory of this process (VmRSS) and its peak (VmHWM), in bytes.
std::int64_t residentBytes();
std::int64_t peakResidentBytes();
// Sets the peak to the current resident size (Linux: "5" into /proc/self/clear_refs); false
// where the kernel does not offer it.
bool resetPeakResident();
// Hands freed heap memory back to the system, so that resident sizes compare what is in use.
void trimHeap();

// Global operator new calls of the calling thread and of the whole process (bench/suite
// replaces the allocation functions).
std::uint64_t threadAllocations();
std::uint64_t processAllocations();
// malloc, calloc and realloc calls of the calling thread: operator new's and those of C
// libraries (hiredis formats requests and builds replies with them).
std::uint64_t threadHeapAllocations();

// The p-quantile (0..1) of samples, nearest rank; 0 for no samples.
double percentile(std::vector<double> samples, double p);

// "412,345" / "412,345.7": decimals after the point, thousands grouped.
std::string grouped(double value, int decimals = 0);
// Two significant decimals for small numbers, grouped for large ones ("0.84", "23.1", "1,204").
std::string compact(double value);

}  // namespace tul::bench
