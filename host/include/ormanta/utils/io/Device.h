#pragma once

#include <chrono>
#include <cstddef>
#include <span>

namespace ormanta::utils::io {

// What readAvailable() hands back: a view of the bytes received, valid until the next
// read call on the same device, and whether more bytes may already be waiting.
struct ReadResult {
  std::span<const char> bytes;
  bool moreAvailable = false;
};

class InputDevice {
 public:
  virtual ~InputDevice();
  // Blocks until data (or the peer's close) can be read; throws when the device's stop
  // source is requested or the device fails.
  virtual void waitForData() = 0;
  // As above, but returns false once timeout has passed without data.
  virtual bool waitForData(std::chrono::nanoseconds timeout) = 0;
  // Returns what can be read now without blocking (possibly nothing); throws when the peer
  // has closed the connection or the device fails.
  virtual ReadResult readAvailable() = 0;
};

class OutputDevice {
 public:
  virtual ~OutputDevice();
  // Sends all size bytes, blocking as needed; throws on failure or stop.
  virtual void write(const void* data, std::size_t size) = 0;
};

}  // namespace ormanta::utils::io
