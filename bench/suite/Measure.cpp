#include "Measure.h"

#include <fmt/format.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>

namespace tul::bench {
namespace {

std::int64_t clockNs(clockid_t clock) {
  timespec now{};
  if (::clock_gettime(clock, &now) != 0) throw std::runtime_error("clock_gettime failed");
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// A "Name:   1234 kB" line of /proc/self/status, in bytes.
std::int64_t statusBytes(std::string_view name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0 && line.size() > name.size() && line[name.size()] == ':') {
      return std::stoll(line.substr(name.size() + 1)) * 1024;
    }
  }
  throw std::runtime_error(fmt::format("/proc/self/status has no {}", name));
}

}  // namespace

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t processCpuNs() { return clockNs(CLOCK_PROCESS_CPUTIME_ID); }
std::int64_t threadCpuNs() { return clockNs(CLOCK_THREAD_CPUTIME_ID); }

std::int64_t threadCpuNs(pthread_t thread) {
  clockid_t clock{};
  if (::pthread_getcpuclockid(thread, &clock) != 0) throw std::runtime_error("pthread_getcpuclockid failed");
  return clockNs(clock);
}

std::vector<int> threadIds() {
  std::vector<int> ids;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ids.push_back(std::stoi(entry.path().filename().string()));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::int64_t threadCpuNsById(int threadId) {
  // The kernel's clock id of a thread's CPU time (CPUCLOCK_PERTHREAD | CPUCLOCK_SCHED).
  const auto clock = static_cast<clockid_t>((~static_cast<unsigned>(threadId) << 3) | 6);
  return clockNs(clock);
}

std::int64_t residentBytes() { return statusBytes("VmRSS"); }
std::int64_t peakResidentBytes() { return statusBytes("VmHWM"); }

bool resetPeakResident() {
  std::ofstream clearRefs("/proc/self/clear_refs");
  clearRefs << "5";
  clearRefs.flush();
  return static_cast<bool>(clearRefs);
}

void trimHeap() { ::malloc_trim(0); }

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

std::string grouped(double value, int decimals) {
  std::string text = fmt::format("{:.{}f}", std::fabs(value), decimals);
  const std::size_t point = text.find('.');
  for (std::ptrdiff_t at = static_cast<std::ptrdiff_t>(point == std::string::npos ? text.size() : point) - 3;
       at > 0; at -= 3) {
    text.insert(static_cast<std::size_t>(at), ",");
  }
  return value < 0 ? "-" + text : text;
}

std::string compact(double value) {
  const double magnitude = std::fabs(value);
  if (magnitude >= 100) return grouped(value);
  if (magnitude >= 10) return grouped(value, 1);
  return grouped(value, 2);
}

}  // namespace tul::bench
