#pragma once

#include <array>
#include <cstddef>

#include "ormanta/model/Attribute.h"

namespace ormanta::plugins::TulService {

// The attributes every service element shows, in the order it lists them.
enum class ServiceAttribute : std::size_t {
  kAddress,
  kServiceName,
  kCommandConnectionError,
  kCommandConnectionState,
  kDataConnectionError,
  kDataConnectionState,
  kServiceRegistrationError,
  kIsServiceRegistered,
  kError,
  kState,
  kPublishingError,
  kPrimaryAddress,
};
inline constexpr std::size_t kServiceAttributeCount = 12;

// Filled in when the plug-in loads; read-only afterwards, so any thread may read them.
const std::array<model::Attribute, kServiceAttributeCount>& serviceAttributes() noexcept;

inline const model::Attribute& serviceAttribute(ServiceAttribute which) noexcept {
  return serviceAttributes()[static_cast<std::size_t>(which)];
}

}  // namespace ormanta::plugins::TulService
