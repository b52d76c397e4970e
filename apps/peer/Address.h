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
// Throws std::invalid_argument for a bad port or bracket.
Address parseAddress(std::string_view text);

}  // namespace ormanta::peer
