#pragma once

#include <chrono>
#include <cstdint>

namespace ormanta::process {

// A task the host runs on its schedule: pre-operational stage (prepare, finish), the
// operational stage, post-operational stage (prepare, finish), each only if stages() says so.
class Task {
 public:
  enum Role : std::int32_t { kReconnect = 1 };
  enum Stage : std::uint32_t { kPreOperational = 1, kOperational = 2, kPostOperational = 4 };

  struct Timing {
    std::chrono::milliseconds period{0};  // 0: the host decides when to run it
  };

  virtual ~Task();
  virtual Timing timing() const;         // base: period 0
  virtual std::uint32_t stages() const;  // base: all three stages
  virtual void preparePreOperational();
  virtual void finishPreOperational();
  virtual void operational();
  virtual void preparePostOperational();
  virtual void finishPostOperational();
};

}  // namespace ormanta::process
