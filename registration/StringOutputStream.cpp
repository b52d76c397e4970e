#include "registration/StringOutputStream.h"

#include <stdexcept>

namespace ormanta::plugins::TulService {

StringOutputStream::StringOutputStream(std::size_t capacityHint) {
  text_.reserve(capacityHint);
  setWriteBuffer(text_.data(), text_.data());
}

std::size_t StringOutputStream::size() const noexcept {
  return static_cast<std::size_t>(writePosition() - text_.data());
}

std::string StringOutputStream::take() {
  text_.resize(size());
  std::string text = std::move(text_);
  text_.clear();
  setWriteBuffer(text_.data(), text_.data());
  return text;
}

std::string StringOutputStream::deviceDescription() const { return "in-memory text string"; }

void StringOutputStream::refillWriteBuffer() {
  const std::size_t written = size();
  const std::size_t length = text_.size();
  const std::size_t largest = text_.max_size();
  std::size_t newLength = 0;
  if (length < text_.capacity()) {
    newLength = text_.capacity();
  } else if (length == largest) {
    throw std::length_error("string data size exceeds representable size");
  } else {
    newLength = length > largest / 2 ? largest : 2 * length;
  }
  text_.resize(newLength);
  setWriteBuffer(text_.data() + written, text_.data() + newLength);
}

std::size_t StringOutputStream::writeDirect(const char* data, std::size_t count) {
  text_.resize(size());
  text_.append(data, count);
  setWriteBuffer(text_.data() + text_.size(), text_.data() + text_.size());
  return count;
}

}  // namespace ormanta::plugins::TulService
