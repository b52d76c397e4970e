#include "ormanta/host/Host.h"

#include <new>

namespace ormanta::host {

void runTask(process::Task& task) {
  const std::uint32_t stages = task.stages();
  if (stages & process::Task::kPreOperational) {
    task.preparePreOperational();
    task.finishPreOperational();
  }
  if (stages & process::Task::kOperational) task.operational();
  if (stages & process::Task::kPostOperational) {
    task.preparePostOperational();
    task.finishPostOperational();
  }
}

utils::Expected<data::Value> readAttribute(const model::Element& element, const model::Attribute& attribute) {
  data::Value value;
  if (const std::error_code error = element.attributeReadHandle(attribute).readValue(value)) {
    return utils::Unexpected{error};
  }
  return value;
}

void* CountingAllocator::allocate(std::size_t size, std::size_t alignment) {
  void* storage = ::operator new(size, std::align_val_t(alignment));
  allocations_.fetch_add(1);
  live_.fetch_add(1);
  return storage;
}

void CountingAllocator::deallocate(void* storage, std::size_t, std::size_t alignment) noexcept {
  ::operator delete(storage, std::align_val_t(alignment));
  live_.fetch_sub(1);
}

}  // namespace ormanta::host
