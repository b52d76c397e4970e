#pragma once

#include <cstdint>
#include <string_view>

namespace ormanta::model {

// What kind of plant object an element stands for (16 values).
enum class ElementCategory : std::uint8_t {
  kGeneric = 0,
  kArea = 1,
  kUnit = 2,
  kEquipment = 3,
  kDevice = 4,
  kSensor = 5,
  kActuator = 6,
  kController = 7,
  kDrive = 8,
  kValve = 9,
  kPump = 10,
  kMotor = 11,
  kTank = 12,
  kConveyor = 13,
  kService = 14,
  kFolder = 15,
};

inline constexpr int kElementCategoryCount = 16;

// "Generic", "Area", "Unit", "Equipment", "Device", "Sensor", "Actuator", "Controller",
// "Drive", "Valve", "Pump", "Motor", "Tank", "Conveyor", "Service", "Folder";
// "Unknown" for any other value.
std::string_view toBasicString(ElementCategory category) noexcept;

}  // namespace ormanta::model
