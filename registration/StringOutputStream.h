#pragma once

#include <cstddef>
#include <string>

#include "ormanta/utils/io/OutputStream.h"

namespace ormanta::plugins::TulService {

// An output stream into one growing std::string, for the JSON encoder. The window is the
// string's own storage: refills resize the string (new bytes are zero) and hand the base the
// part past what was written, so the bytes past writePosition() are no part of the text.
//
// Single-threaded, like the base.
class StringOutputStream final : public utils::io::OutputStream<char> {
 public:
  // capacityHint only reserves storage, so that a record of about that size is written
  // without regrowing; the text starts empty either way.
  explicit StringOutputStream(std::size_t capacityHint = 0);

  // The bytes written so far.
  std::size_t size() const noexcept;
  // The written bytes, nothing after them; the stream starts again empty.
  std::string take();

  std::string deviceDescription() const override;

 protected:
  // Fills up the string's capacity first, then doubles its length. Throws std::length_error
  // "string data size exceeds representable size" when the length is already max_size().
  void refillWriteBuffer() override;
  std::size_t writeDirect(const char* data, std::size_t count) override;

 private:
  std::string text_;
};

}  // namespace ormanta::plugins::TulService
