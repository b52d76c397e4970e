#include <stdexcept>
#include <string>

#include "ormanta/utils/string/BasicStaticString.h"

namespace ormanta::utils::string::detail {

void throwCapacityExceeded(std::size_t size, std::size_t capacity) {
  throw std::length_error("ormanta::utils::string::BasicStaticString: size of " + std::to_string(size) +
                          " exceeds capacity of " + std::to_string(capacity));
}

}  // namespace ormanta::utils::string::detail
