#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>

#include "ormanta/utils/chrono/TimePoint.h"

namespace ormanta::process {
class EventHandler;
}

namespace ormanta::memory {

// What the host needs to know to keep records of one type in a block.
struct BlockHandler {
  std::size_t size = 0;
  std::size_t alignment = 1;
  void (*copy)(void* destination, const void* source) = nullptr;  // destination holds a record
  void (*construct)(void* storage) = nullptr;                     // the default record
  void (*destroy)(void* record) = nullptr;
};

namespace memoryResources {
// The resource for published data records (counts its allocations; see host::Memory).
std::pmr::memory_resource* data() noexcept;
}  // namespace memoryResources

namespace detail {
class BlockCore;
}

class MemoryHandle;

// A published record. One writer at a time opens a WriteSentinel, fills the new record and
// commits it; readers (through MemoryHandle and read handles) always see a whole committed
// record, never a partly written one. Commits notify the change handlers registered on the
// block (onChange then afterChanges, on the committing thread, after the record is visible).
class MemoryBlock {
 public:
  MemoryBlock() noexcept = default;  // no block; handle() gives handles that report an error

  // Allocates the record from resource and default-constructs it with handler.construct.
  static MemoryBlock create(std::pmr::memory_resource* resource, const BlockHandler& handler);

  explicit operator bool() const noexcept { return core_ != nullptr; }
  // A handle to the field at byte offset of the record.
  MemoryHandle handle(std::size_t offset) const noexcept;
  // Time stamp of the last commit (the epoch before the first).
  utils::chrono::TimePoint timestamp() const;
  std::uint64_t commitCount() const;
  // Copies the current record into destination (a record of the block's type).
  void copyTo(void* destination) const;

 private:
  friend class WriteSentinel;
  std::shared_ptr<detail::BlockCore> core_;
};

// A typed view of one field of a block's record.
class MemoryHandle {
 public:
  MemoryHandle() noexcept = default;
  explicit operator bool() const noexcept { return core_ != nullptr; }
  std::size_t offset() const noexcept { return offset_; }

  // Copies size bytes of the field under the block's read lock (fields of trivially copyable
  // type only). Returns false for an empty handle or a field outside the record.
  bool readBytes(void* destination, std::size_t size) const;
  bool addChangeHandler(process::EventHandler& handler) const;
  void removeChangeHandler(process::EventHandler& handler) const noexcept;

 private:
  friend class MemoryBlock;
  MemoryHandle(std::shared_ptr<detail::BlockCore> core, std::size_t offset) noexcept
      : core_(std::move(core)), offset_(offset) {}
  std::shared_ptr<detail::BlockCore> core_;
  std::size_t offset_ = 0;
};

// Writes one new record into a block. Writers of one block are serialised: a second
// sentinel on the same block waits until the first is destroyed. Without commit() the new
// record is dropped.
class WriteSentinel {
 public:
  explicit WriteSentinel(MemoryBlock& block);
  ~WriteSentinel();
  WriteSentinel(const WriteSentinel&) = delete;
  WriteSentinel& operator=(const WriteSentinel&) = delete;

  // The record as last committed.
  const void* oldData() const noexcept;
  // The new record; it starts as a copy of the old one.
  void* placement() noexcept;
  template <class Record>
  const Record& oldRecord() const noexcept {
    return *static_cast<const Record*>(oldData());
  }
  template <class Record>
  Record& newRecord() noexcept {
    return *static_cast<Record*>(placement());
  }

  // Publishes the new record with this time stamp; at most once per sentinel.
  void commit(utils::chrono::TimePoint timestamp);

 private:
  std::shared_ptr<detail::BlockCore> core_;
  void* placement_ = nullptr;
  bool committed_ = false;
};

}  // namespace ormanta::memory
