#include "peer/Address.h"

#include <charconv>
#include <stdexcept>

namespace ormanta::peer {
namespace {

int parsePort(std::string_view text, std::string_view whole) {
  int port = 0;
  auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || next != text.data() + text.size() || port < 1 || port > 65535) {
    throw std::invalid_argument("bad port in address \"" + std::string(whole) + "\"");
  }
  return port;
}

}  // namespace

std::string Address::text() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Address parseAddress(std::string_view text) {
  Address address;
  if (text.empty()) return address;
  if (text.find_first_not_of("0123456789") == std::string_view::npos) {
    const std::string port(text);
    throw std::invalid_argument("address \"" + port +
                                "\" is a port alone: give HOST:PORT (127.0.0.1:" + port + ") or -p " + port);
  }
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos)
      throw std::invalid_argument("missing ']' in address \"" + std::string(text) + "\"");
    address.host = std::string(text.substr(1, close - 1));
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') throw std::invalid_argument("bad address \"" + std::string(text) + "\"");
      address.port = parsePort(rest.substr(1), text);
    }
  } else if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    if (text.find(':', colon + 1) != std::string_view::npos) {
      address.host = std::string(text);  // a bare IPv6 address: no port
    } else {
      address.host = std::string(text.substr(0, colon));
      address.port = parsePort(text.substr(colon + 1), text);
    }
  } else {
    address.host = std::string(text);
  }
  if (address.host.empty()) address.host = "127.0.0.1";
  return address;
}

std::string chooseAddress(const std::string& address, const std::string& host, const std::string& port,
                          const char* environment) {
  if (!address.empty() && !(host + port).empty())
    throw std::invalid_argument("give --address HOST:PORT or -h HOST -p PORT, not both");
  if (!address.empty()) return address;
  if (host.empty() && port.empty()) return environment != nullptr ? environment : "";
  if (!port.empty()) {
    try {
      parsePort(port, port);
    } catch (const std::invalid_argument&) {
      throw std::invalid_argument("-p needs a port (1 to 65535), not \"" + port + "\"");
    }
  }
  const std::string h = host.empty() ? "127.0.0.1" : host;
  const bool v6 = h.find(':') != std::string::npos && h.front() != '[';
  return (v6 ? "[" + h + "]" : h) + ":" + (port.empty() ? "6379" : port);
}

}  // namespace ormanta::peer
