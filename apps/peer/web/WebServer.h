#pragma once

// tul-peer web: the live web view of the services on a Redis server. One page, served by the
// program itself; values reach it over Server-Sent Events.

#include <atomic>
#include <ostream>
#include <string>

#include "peer/PeerCommands.h"

namespace ormanta::peer::web {

struct WebOptions {
  std::string listen = "127.0.0.1:8080";  // HOST:PORT, or HOST (port 8080)
  std::string redisAddress;               // shown on the page
};

// True for 127.0.0.0/8, ::1 and localhost: the addresses that need no access token.
bool isLoopbackHost(const std::string& host);

// Serves until stop is set. Prints the page's URL on out once it listens (with the access
// token when it listens on another address than loopback). 1 when it cannot listen, with the
// reason on err.
int serveWeb(const Connector& connect, const WebOptions& options, const std::atomic<bool>& stop,
             std::ostream& out, std::ostream& err);

}  // namespace ormanta::peer::web
