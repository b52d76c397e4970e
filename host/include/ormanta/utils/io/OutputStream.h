#pragma once

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

namespace ormanta::utils::io {

class StreamBase {
 public:
  virtual ~StreamBase() = default;
  // A short human-readable description of where the stream's bytes go.
  virtual std::string deviceDescription() const = 0;
};

// A buffered output stream. The subclass owns the storage and hands the base a write
// window with setWriteBuffer(begin, end); the base copies bytes into the window and asks the
// subclass for a new one when it is full (refillWriteBuffer), or hands a large block over
// directly (writeDirect). Single-threaded.
template <class CharT>
class OutputStream : public virtual StreamBase {
 public:
  // Blocks at least this long skip the window and go to writeDirect when they do not fit.
  static constexpr std::size_t kDirectWriteThreshold = 256;

  void put(CharT c) {
    if (position_ == end_) refillChecked();
    *position_++ = c;
  }

  void write(const CharT* data, std::size_t count) {
    while (count > 0) {
      const std::size_t room = static_cast<std::size_t>(end_ - position_);
      if (count <= room) {
        std::memcpy(position_, data, count * sizeof(CharT));
        position_ += count;
        return;
      }
      if (count >= kDirectWriteThreshold) {
        const std::size_t taken = writeDirect(data, count);
        data += taken;
        count -= taken;
        continue;
      }
      std::memcpy(position_, data, room * sizeof(CharT));
      position_ += room;
      data += room;
      count -= room;
      refillChecked();
    }
  }

  CharT* writePosition() const noexcept { return position_; }

 protected:
  OutputStream() = default;
  OutputStream(const OutputStream&) = delete;
  OutputStream& operator=(const OutputStream&) = delete;

  void setWriteBuffer(CharT* begin, CharT* end) noexcept {
    position_ = begin;
    end_ = end;
  }

  // Called when the window is full: hand the base a new, non-empty window.
  virtual void refillWriteBuffer() = 0;
  // Takes count bytes past the window; returns how many it took (at least one).
  virtual std::size_t writeDirect(const CharT* data, std::size_t count) = 0;

 private:
  void refillChecked() {
    refillWriteBuffer();
    if (position_ == end_) throw std::logic_error("output stream handed out an empty write window");
  }

  CharT* position_ = nullptr;
  CharT* end_ = nullptr;
};

}  // namespace ormanta::utils::io
