#pragma once

#include <string_view>

#include "ormanta/model/Element.h"

namespace ormanta::plugins::TulService {

class Service;

// The member a peer names by its member path ("<service name>.<element key>.<attribute>");
// the service-name prefix may be left out. Tests false when there is no such member.
// Any thread; the host resolves the rest of the name.
model::ElementAttribute findMember(const Service& service, std::string_view name);

}  // namespace ormanta::plugins::TulService
