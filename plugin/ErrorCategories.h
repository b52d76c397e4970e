#pragma once

#include <system_error>

namespace ormanta::plugins::TulService {

// Why a connection record is not in order.
class ConnectionErrorCategory final : public std::error_category {
 public:
  static constexpr int kNoError = 0;
  static constexpr int kNotEstablished = 1;

  const char* name() const noexcept override;
  std::string message(int value) const override;
};

// Which of the two connections are down; the value is a bit set (1 data, 2 command).
class GeneralConnectionErrorCategory final : public std::error_category {
 public:
  static constexpr int kNoError = 0;
  static constexpr int kDataDown = 1;
  static constexpr int kCommandDown = 2;
  static constexpr int kBothDown = 3;

  const char* name() const noexcept override;
  std::string message(int value) const override;
};

// The registration's state; value 0 is a success with a message of its own.
class RegistrationErrorCategory final : public std::error_category {
 public:
  static constexpr int kRegistered = 0;
  static constexpr int kPending = 1;

  const char* name() const noexcept override;
  std::string message(int value) const override;
};

// One object per category for the whole process: codes compare by category identity.
const ConnectionErrorCategory& connectionErrorCategory() noexcept;
const GeneralConnectionErrorCategory& generalConnectionErrorCategory() noexcept;
const RegistrationErrorCategory& registrationErrorCategory() noexcept;

inline std::error_code connectionError(int value) noexcept { return {value, connectionErrorCategory()}; }
inline std::error_code generalConnectionError(int value) noexcept {
  return {value, generalConnectionErrorCategory()};
}
inline std::error_code registrationError(int value) noexcept { return {value, registrationErrorCategory()}; }

}  // namespace ormanta::plugins::TulService
