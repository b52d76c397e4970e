#pragma once

// Glob patterns over member paths ('BoilerHouse.Boiler1.*', '*.Temp'), matched against the
// catalogue: '*' any run of characters (dots too), '?' one character, '[abc]', '[a-z]' and
// '[!abc]' one of a set, '\' takes the next character as it is.

#include <string>
#include <string_view>
#include <vector>

#include "peer/Registration.h"

namespace ormanta::peer {

bool isPattern(std::string_view text) noexcept;
bool globMatch(std::string_view pattern, std::string_view text) noexcept;

// Whether pattern matches the member path, given with or without "service." in front.
bool matchesMember(const std::string& service, std::string_view pattern, std::string_view path) noexcept;

// The member paths of the catalogue that pattern matches, in catalogue order; a pattern may
// name the path with or without the service name in front.
std::vector<const MemberInfo*> matchMembers(const std::string& service, std::string_view pattern,
                                            const Catalogue& catalogue);

}  // namespace ormanta::peer
