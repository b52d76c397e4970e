#pragma once

// Values as the catalogue types them: the JSON form of a value text, and the check of a text a
// peer wants to set, made in the tool so that a typo is refused before anything is sent.

#include <optional>
#include <string>
#include <string_view>

#include "peer/Registration.h"

namespace ormanta::peer {

// A JSON string literal: quotes, backslashes and control characters escaped; bytes that are
// not UTF-8 become U+FFFD, so that a reader's JSON parser never fails on a member's text.
std::string jsonString(std::string_view text);

// The value text of a member of catalogue type "type" in JSON: Int and UInt as numbers, finite
// Reals as numbers, Bool as true/false, anything else (and a text that is not of its type, such
// as a Real's "nan") as a string.
std::string jsonValue(std::string_view type, std::string_view text);

// The text to send for a set of member to text, or empty with the refusal in problem (which
// names the accepted forms). Bool takes true/false in any case and 1/0, and sends true/false;
// Int and UInt take decimal digits (a '-' for Int) within the member's bit size; Real takes a
// fixed or scientific number with a point, inf and nan; String takes any text.
std::optional<std::string> checkedSetValue(const MemberInfo& member, std::string_view text,
                                           std::string& problem);

}  // namespace ormanta::peer
