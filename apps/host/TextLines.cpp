#include "host/TextLines.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <system_error>

#include "host/ValueConversion.h"
#include "ormanta/utils/network/SocketDevice.h"

namespace ormanta::apps {
namespace {

// The plug-in's texts for a connection that is not there yet and for a failed connect.
constexpr std::string_view kNotYet = "the connection is not established yet";
constexpr std::string_view kConnectFailed = "failed to connect to the Redis database";
constexpr std::string_view kRegistrationPending = "the service registration is pending";
constexpr std::uint16_t kRedisPort = 6379;

const NamedValue* find(const std::vector<NamedValue>& attributes, std::string_view name) {
  for (const NamedValue& attribute : attributes)
    if (attribute.readable && attribute.name == name) return &attribute;
  return nullptr;
}

bool flag(const std::vector<NamedValue>& attributes, std::string_view name) {
  const NamedValue* attribute = find(attributes, name);
  const bool* value = attribute ? std::get_if<bool>(&attribute->value) : nullptr;
  return value != nullptr && *value;
}

// The message of an error code attribute; empty for none or "no error".
std::string errorMessage(const std::vector<NamedValue>& attributes, std::string_view name) {
  const NamedValue* attribute = find(attributes, name);
  const std::error_code* code = attribute ? std::get_if<std::error_code>(&attribute->value) : nullptr;
  return code == nullptr || !*code ? std::string() : code->message();
}

std::string text(const std::vector<NamedValue>& attributes, std::string_view name) {
  const NamedValue* attribute = find(attributes, name);
  return attribute ? apps::valueText(attribute->value).value_or("") : std::string();
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string seconds(std::chrono::milliseconds duration) {
  const long long ms = duration.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

std::string probeConnectCause(std::string_view address, std::chrono::milliseconds timeout) {
  const std::string where = address.empty() ? std::string("127.0.0.1") : std::string(address);
  const utils::network::detail::PortOption port{utils::network::detail::PortOption::kDefault, kRedisPort};
  constexpr int kAnyFamily = 0;
  constexpr int kTcp = 6;
  const utils::network::SocketDevice socket =
      utils::network::SocketDevice::connectedSocketInternal(where, port, kAnyFamily, kTcp, timeout, nullptr);
  if (socket) return {};
  // The socket layer's own words, sorted into the three causes people meet.
  const std::string reason = lower(socket.connectError());
  if (reason.find("refused") != std::string::npos) return "connection refused by " + where;
  if (reason.find("timed out") != std::string::npos || reason.find("time-out") != std::string::npos ||
      reason.find("timeout") != std::string::npos) {
    return "no answer from " + where + " within " + seconds(timeout);
  }
  if (reason.find("name") != std::string::npos || reason.find("resolve") != std::string::npos ||
      reason.find("not known") != std::string::npos) {
    return "name not found: " + where;
  }
  return socket.connectError().empty() ? std::string() : socket.connectError();
}

std::string ServiceStatusText::line(const std::vector<NamedValue>& attributes) {
  const bool dataUp = flag(attributes, "dataConnectionState");
  const bool commandUp = flag(attributes, "commandConnectionState");
  const bool registered = flag(attributes, "isServiceRegistered");
  serving_ = flag(attributes, "state") && registered;
  const std::string state = std::string(dataUp ? "D" : "d") + (commandUp ? "C" : "c") +
                            (registered ? "R" : "r") + (serving_ ? "S" : "s");
  const bool changed = state != lastState_;
  lastState_ = state;
  const std::string address = text(attributes, "address");

  std::string data = "data up";
  if (!dataUp) {
    std::string cause = errorMessage(attributes, "dataConnectionError");
    if (cause == kConnectFailed) {
      // Only a configured address can be probed: with sentinels the service has none.
      if (changed || lastCause_.empty()) {
        const std::string probed = address.empty() ? "" : probeConnectCause(address, std::chrono::seconds(1));
        lastCause_ = probed.empty() ? cause : probed;
      }
      cause = lastCause_;
    } else if (cause == kNotYet || cause.empty()) {
      // Between two attempts the last cause still holds.
      cause = !lastCause_.empty() ? lastCause_ : "connecting";
    } else {
      lastCause_ = cause;
    }
    data = "data down (" + cause + ")";
  } else {
    lastCause_.clear();
  }
  std::string command = commandUp ? "command up" : "command down";
  const std::string commandCause = errorMessage(attributes, "commandConnectionError");
  if (!commandUp && dataUp && !commandCause.empty() && commandCause != kNotYet &&
      commandCause != kConnectFailed)
    command += " (" + commandCause + ")";
  std::string registration = registered ? "registered" : "not registered";
  const std::string registrationError = errorMessage(attributes, "serviceRegistrationError");
  if (!registered && dataUp && !registrationError.empty())
    registration = registrationError == kRegistrationPending ? "registration pending"
                                                             : "not registered (" + registrationError + ")";
  const std::string retrying = "retrying every " + seconds(retryEvery_);
  std::string result;
  if (!dataUp && !commandUp) {
    // Both down (the usual case: one server): one cause, and a line that fits a terminal.
    result = service_ + ": down (" + data.substr(data.find('(') + 1) + " · " + retrying;
  } else {
    result = service_ + ": " + data + " · " + command + " · " + registration + " · " +
             (serving_                ? "serving"
              : !dataUp || !commandUp ? retrying
                                      : "not serving");
  }
  const std::string publishing = errorMessage(attributes, "publishingError");
  if (!publishing.empty()) result += " · publishing error: " + publishing;
  // The primary the sentinels named; a plain address is its own primary.
  if (const std::string primary = text(attributes, "primaryAddress"); !primary.empty() && primary != address)
    result += " · primary " + primary;
  return result;
}

bool ServiceStatusText::servingForTheFirstTime() noexcept {
  if (!serving_ || announcedServing_) return false;
  announcedServing_ = true;
  return true;
}

std::string readAnswerText(std::string_view path, std::string_view text) {
  return std::string(path) + " = " + std::string(text);
}

std::string eventText(std::string_view service, std::string_view event, utils::chrono::TimePoint time) {
  return std::string(service) + ": " + std::string(event) + " at " + apps::valueText(time).value_or("?");
}

std::string errorText(std::string_view message) { return "error: " + std::string(message); }

}  // namespace ormanta::apps
