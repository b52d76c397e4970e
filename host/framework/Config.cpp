#include "ormanta/config/Config.h"

namespace ormanta::config {

UnknownParameterError::UnknownParameterError(std::string_view name)
    : std::invalid_argument("unknown configuration parameter \"" + std::string(name) + "\""),
      parameter_(name) {}

void throwUnknownParameterError(std::string_view name) { throw UnknownParameterError(name); }

}  // namespace ormanta::config
