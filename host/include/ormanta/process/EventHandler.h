#pragma once

namespace ormanta::process {

// Receives change notifications of the values it is registered with: onChange() once per
// change, then afterChanges() once after each batch of changes that included at least one of
// its values. Both run on whatever thread changed the values; they must not block for long.
class EventHandler {
 public:
  virtual ~EventHandler() = default;
  virtual void onChange() = 0;
  virtual void afterChanges() = 0;
};

}  // namespace ormanta::process
