#pragma once

// The registration benchmarks' model: elements of eight attributes, in a few kinds.

#include <vector>

#include "ormanta/host/Model.h"

namespace tul::bench {

// Kind k differs from the others in the access of one attribute and the width of another, so a
// model of kinds 0 to n-1 has n distinct member lists.
inline std::vector<ormanta::host::AttributeSpec> attributesOfKind(int kind) {
  using ormanta::data::NativeType;
  using ormanta::host::AttributeSpec;
  return {AttributeSpec("Enabled", NativeType::kBool, ormanta::model::kAccessReadWrite),
          AttributeSpec("Temperature", NativeType::kDouble, ormanta::model::kAccessRead, 64),
          AttributeSpec("Setpoint", NativeType::kDouble, kind % 3, 32),
          AttributeSpec("Counter", NativeType::kUInt, ormanta::model::kAccessRead, 8 << (kind % 4)),
          AttributeSpec("Mode", NativeType::kInt, ormanta::model::kAccessReadWrite, 16),
          AttributeSpec("Label", NativeType::kString, ormanta::model::kAccessReadWrite),
          AttributeSpec("LastChange", NativeType::kTimePoint, ormanta::model::kAccessRead),
          AttributeSpec("Quality", NativeType::kQuality, ormanta::model::kAccessRead)};
}

}  // namespace tul::bench
