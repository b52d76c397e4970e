#include "ormanta/memory/MemoryBlock.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "Internal.h"
#include "ormanta/host/Host.h"

namespace ormanta::memory {

namespace {

// new/delete with counters, so that tests can see blocks being released.
class CountingResource final : public std::pmr::memory_resource {
 public:
  std::atomic<std::size_t> allocations{0};
  std::atomic<std::size_t> live{0};

 private:
  void* do_allocate(std::size_t bytes, std::size_t alignment) override {
    void* p = std::pmr::new_delete_resource()->allocate(bytes, alignment);
    allocations.fetch_add(1);
    live.fetch_add(1);
    return p;
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t alignment) override {
    std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    live.fetch_sub(1);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};

CountingResource& dataResource() noexcept {
  static CountingResource resource;
  return resource;
}

}  // namespace

namespace memoryResources {
std::pmr::memory_resource* data() noexcept { return &dataResource(); }
}  // namespace memoryResources

namespace detail {

// The record and its protection. Readers copy fields under the shared lock; a commit copies
// the new record in under the exclusive lock, so no reader sees half of it.
class BlockCore {
 public:
  BlockCore(std::pmr::memory_resource* resource, const BlockHandler& handler)
      : resource_(resource), handler_(handler), current_(allocate()) {
    try {
      handler_.construct(current_);
    } catch (...) {
      resource_->deallocate(current_, handler_.size, handler_.alignment);
      throw;
    }
  }

  ~BlockCore() {
    handler_.destroy(current_);
    resource_->deallocate(current_, handler_.size, handler_.alignment);
  }

  BlockCore(const BlockCore&) = delete;
  BlockCore& operator=(const BlockCore&) = delete;

  void* allocate() { return resource_->allocate(handler_.size, handler_.alignment); }

  // A new record holding a copy of the current one; the caller holds writerMutex.
  void* makePlacement() {
    void* placement = allocate();
    try {
      handler_.construct(placement);
      handler_.copy(placement, current_);
    } catch (...) {
      resource_->deallocate(placement, handler_.size, handler_.alignment);
      throw;
    }
    return placement;
  }

  void dropPlacement(void* placement) noexcept {
    handler_.destroy(placement);
    resource_->deallocate(placement, handler_.size, handler_.alignment);
  }

  void commit(const void* placement, utils::chrono::TimePoint timestamp) {
    {
      std::unique_lock lock(recordMutex_);
      handler_.copy(current_, placement);
      timestamp_ = timestamp;
      ++commits_;
    }
    host::detail::ChangeDispatcher::Slot* slot = &slot_;
    dispatcher_.deliver([&] { return std::span<host::detail::ChangeDispatcher::Slot* const>(&slot, 1); });
  }

  bool readBytes(std::size_t offset, void* destination, std::size_t size) const {
    if (offset > handler_.size || size > handler_.size - offset) return false;
    std::shared_lock lock(recordMutex_);
    std::memcpy(destination, static_cast<const char*>(current_) + offset, size);
    return true;
  }

  void copyTo(void* destination) const {
    std::shared_lock lock(recordMutex_);
    handler_.copy(destination, current_);
  }

  utils::chrono::TimePoint timestamp() const {
    std::shared_lock lock(recordMutex_);
    return timestamp_;
  }

  std::uint64_t commits() const {
    std::shared_lock lock(recordMutex_);
    return commits_;
  }

  const void* current() const noexcept { return current_; }
  std::mutex& writerMutex() noexcept { return writerMutex_; }

  void addHandler(process::EventHandler& handler) { dispatcher_.add(slot_, handler); }
  void removeHandler(process::EventHandler& handler) noexcept { dispatcher_.remove(slot_, handler); }

 private:
  std::pmr::memory_resource* resource_;
  BlockHandler handler_;
  void* current_;
  mutable std::shared_mutex recordMutex_;
  std::mutex writerMutex_;                // held by the one open WriteSentinel
  utils::chrono::TimePoint timestamp_{};  // guarded by recordMutex_
  std::uint64_t commits_ = 0;             // guarded by recordMutex_
  host::detail::ChangeDispatcher dispatcher_;
  host::detail::ChangeDispatcher::Slot slot_;  // guarded by the dispatcher
};

}  // namespace detail

MemoryBlock MemoryBlock::create(std::pmr::memory_resource* resource, const BlockHandler& handler) {
  if (resource == nullptr || handler.size == 0 || !handler.copy || !handler.construct || !handler.destroy) {
    throw std::invalid_argument("memory block: incomplete block handler");
  }
  MemoryBlock block;
  block.core_ = std::make_shared<detail::BlockCore>(resource, handler);
  return block;
}

MemoryHandle MemoryBlock::handle(std::size_t offset) const noexcept { return MemoryHandle(core_, offset); }

utils::chrono::TimePoint MemoryBlock::timestamp() const {
  return core_ ? core_->timestamp() : utils::chrono::TimePoint{};
}

std::uint64_t MemoryBlock::commitCount() const { return core_ ? core_->commits() : 0; }

void MemoryBlock::copyTo(void* destination) const {
  if (!core_) throw std::logic_error("memory block: no block");
  core_->copyTo(destination);
}

bool MemoryHandle::readBytes(void* destination, std::size_t size) const {
  return core_ && core_->readBytes(offset_, destination, size);
}

bool MemoryHandle::addChangeHandler(process::EventHandler& handler) const {
  if (!core_) return false;
  core_->addHandler(handler);
  return true;
}

void MemoryHandle::removeChangeHandler(process::EventHandler& handler) const noexcept {
  if (core_) core_->removeHandler(handler);
}

WriteSentinel::WriteSentinel(MemoryBlock& block) : core_(block.core_) {
  if (!core_) throw std::logic_error("write sentinel on an empty memory block");
  core_->writerMutex().lock();
  try {
    placement_ = core_->makePlacement();
  } catch (...) {
    core_->writerMutex().unlock();
    throw;
  }
}

WriteSentinel::~WriteSentinel() {
  core_->dropPlacement(placement_);
  core_->writerMutex().unlock();
}

const void* WriteSentinel::oldData() const noexcept { return core_->current(); }

void* WriteSentinel::placement() noexcept { return placement_; }

void WriteSentinel::commit(utils::chrono::TimePoint timestamp) {
  if (committed_) throw std::logic_error("write sentinel committed twice");
  committed_ = true;
  core_->commit(placement_, timestamp);
}

}  // namespace ormanta::memory

namespace ormanta::host {

DataMemoryUsage dataMemoryUsage() noexcept {
  auto& resource = memory::dataResource();
  return {resource.allocations.load(), resource.live.load()};
}

}  // namespace ormanta::host
