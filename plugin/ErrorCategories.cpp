#include "plugin/ErrorCategories.h"

namespace ormanta::plugins::TulService {

namespace {
constexpr const char* kCategoryName = "Ormanta.TulService";
constexpr const char* kUnknown = "an unknown error occurred";
}  // namespace

const char* ConnectionErrorCategory::name() const noexcept { return kCategoryName; }

std::string ConnectionErrorCategory::message(int value) const {
  switch (value) {
    case kNoError:
      return "no error";
    case kNotEstablished:
      return "the connection is not established yet";
    default:
      return kUnknown;
  }
}

const char* GeneralConnectionErrorCategory::name() const noexcept { return kCategoryName; }

std::string GeneralConnectionErrorCategory::message(int value) const {
  switch (value) {
    case kNoError:
      return "no error";
    case kDataDown:
      return "data connection is not established";
    case kCommandDown:
      return "command connection is not established";
    case kBothDown:
      return "the command connection and the data connection are not established";
    default:
      return kUnknown;
  }
}

const char* RegistrationErrorCategory::name() const noexcept { return kCategoryName; }

std::string RegistrationErrorCategory::message(int value) const {
  switch (value) {
    case kRegistered:
      return "the service is successfully registered";
    case kPending:
      return "the service registration is pending";
    default:
      return kUnknown;
  }
}

const ConnectionErrorCategory& connectionErrorCategory() noexcept {
  static const ConnectionErrorCategory category;
  return category;
}

const GeneralConnectionErrorCategory& generalConnectionErrorCategory() noexcept {
  static const GeneralConnectionErrorCategory category;
  return category;
}

const RegistrationErrorCategory& registrationErrorCategory() noexcept {
  static const RegistrationErrorCategory category;
  return category;
}

}  // namespace ormanta::plugins::TulService
