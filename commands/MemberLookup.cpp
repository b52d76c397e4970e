#include "commands/MemberLookup.h"

#include "plugin/Service.h"

namespace ormanta::plugins::TulService {

model::ElementAttribute findMember(const Service& service, std::string_view name) {
  // Only the whole prefix, dot included, is taken off; anything else is looked up as given.
  const std::string_view serviceName = service.serviceName();
  if (name.size() > serviceName.size() && name.starts_with(serviceName) && name[serviceName.size()] == '.') {
    name.remove_prefix(serviceName.size() + 1);
  }
  return service.findAttribute(name);
}

}  // namespace ormanta::plugins::TulService
