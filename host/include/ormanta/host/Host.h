#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

#include "ormanta/data/Types.h"
#include "ormanta/model/Element.h"
#include "ormanta/process/Task.h"
#include "ormanta/skill/ElementAllocator.h"
#include "ormanta/utils/Expected.h"

namespace ormanta::host {

// Runs a task's stages in order, as the host's scheduler does.
void runTask(process::Task& task);

// Reads an attribute of any element through its read handle.
utils::Expected<data::Value> readAttribute(const model::Element& element, const model::Attribute& attribute);

// The host's element allocator: plain heap storage with counters (for leak checks).
class CountingAllocator final : public skill::ElementAllocator {
 public:
  void* allocate(std::size_t size, std::size_t alignment) override;
  void deallocate(void* storage, std::size_t size, std::size_t alignment) noexcept override;
  std::size_t allocations() const noexcept { return allocations_.load(); }
  std::size_t live() const noexcept { return live_.load(); }

 private:
  std::atomic<std::size_t> allocations_{0};
  std::atomic<std::size_t> live_{0};
};

// Counters of memory::memoryResources::data().
struct DataMemoryUsage {
  std::size_t allocations;
  std::size_t liveBlocks;
};
DataMemoryUsage dataMemoryUsage() noexcept;

}  // namespace ormanta::host
