#pragma once

#include <string>
#include <string_view>

namespace ormanta::peer {

struct Address {
  std::string host = "127.0.0.1";
  int port = 6379;
  std::string text() const;  // "host:port", "[v6]:port"
};

// "HOST", "HOST:PORT", "[V6]", "[V6]:PORT" or a bare IPv6 address; empty gives the default.
// Throws std::invalid_argument for a bad port or bracket, and for a port alone ("32612"), which
// would otherwise be taken for a host name.
Address parseAddress(std::string_view text);

// The address text a command uses: --address (address), else -h HOST and -p PORT (host, port;
// each may be left out), else the environment variable TUL_ADDRESS (environment, may be null),
// else empty (the default). Throws std::invalid_argument when --address comes with -h or -p,
// or -p is not a port.
std::string chooseAddress(const std::string& address, const std::string& host, const std::string& port,
                          const char* environment);

}  // namespace ormanta::peer
