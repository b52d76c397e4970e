#pragma once

// tul-peer's help: the whole tool's, and each command's with an example.

#include <string>
#include <string_view>

namespace ormanta::peer {

std::string toolUsage();
// The help of one command; empty for a name that is no command.
std::string commandUsage(std::string_view command);

}  // namespace ormanta::peer
