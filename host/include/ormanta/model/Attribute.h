#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ormanta/data/Types.h"
#include "ormanta/utils/core/Uuid.h"

namespace ormanta::model {

// Access modes of an attribute definition.
inline constexpr std::int32_t kAccessRead = 0;
inline constexpr std::int32_t kAccessWrite = 1;
inline constexpr std::int32_t kAccessReadWrite = 2;

// An attribute definition: identity (UUID and name), declared type, access mode and, for
// attributes that play a host role, the role's value (0 otherwise).
class Attribute {
 public:
  // A role the host knows attributes by.
  struct Role {
    utils::core::Uuid uuid;
    std::string_view name;
    std::int32_t value;
  };
  // The element's error attribute.
  static const Role kError;

  Attribute() = default;
  Attribute(utils::core::Uuid uuid, std::string name, data::DataType dataType,
            std::int32_t accessMode = kAccessRead, std::int32_t roleValue = 0)
      : uuid_(uuid),
        name_(std::move(name)),
        dataType_(dataType),
        accessMode_(accessMode),
        roleValue_(roleValue) {}
  Attribute(const Role& role, data::DataType dataType, std::int32_t accessMode = kAccessRead)
      : Attribute(role.uuid, std::string(role.name), dataType, accessMode, role.value) {}

  const utils::core::Uuid& uuid() const noexcept { return uuid_; }
  const std::string& name() const noexcept { return name_; }
  data::DataType dataType() const noexcept { return dataType_; }
  // kAccessRead, kAccessWrite or kAccessReadWrite (other values are possible and invalid).
  std::int32_t accessMode() const noexcept { return accessMode_; }
  std::int32_t roleValue() const noexcept { return roleValue_; }

  // Two definitions are the same attribute when UUID and name agree.
  friend bool operator==(const Attribute& a, const Attribute& b) noexcept {
    return a.uuid_ == b.uuid_ && a.name_ == b.name_;
  }

 private:
  utils::core::Uuid uuid_;
  std::string name_;
  data::DataType dataType_ = data::DataType::kBoolean;
  std::int32_t accessMode_ = kAccessRead;
  std::int32_t roleValue_ = 0;
};

}  // namespace ormanta::model
