#include "ormanta/utils/io/Device.h"

namespace ormanta::utils::io {

// Out of line so that the vtables live in this library only.
InputDevice::~InputDevice() = default;
OutputDevice::~OutputDevice() = default;

}  // namespace ormanta::utils::io
