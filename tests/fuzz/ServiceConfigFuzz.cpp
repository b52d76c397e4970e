// A service element's configuration: the input is the JSON text that the host decodes and
// hands to Service::loadConfiguration, as ormanta-host does for each --config.
//
// Properties: a text that is not a JSON object, or a configuration that is refused, fails
// with std::invalid_argument or std::runtime_error (the decoder's ParseError) and leaves the
// element's address and service name as they were; an accepted one sets them to the last
// "address" and "serviceName" given (the default service name when that is empty or absent).

#include <optional>
#include <stdexcept>
#include <string>

#include "FuzzSupport.h"
#include "ormanta/config/Config.h"
#include "ormanta/utils/json/Decoder.h"
#include "plugin/Service.h"
#include "support/ServiceHarness.h"

namespace {

using namespace tul::fuzz;
namespace json = ormanta::utils::json::decoder;

struct Element {
  tul::test::ServiceHarness harness;
  std::shared_ptr<TulService::Service> service =
      harness.create(R"({"address":"before:1","serviceName":"Before"})");
};

std::optional<std::string> lastString(const json::Object& object, std::string_view name) {
  std::optional<std::string> last;
  for (auto cursor = object.begin(); cursor != object.end(); object.step(cursor)) {
    const json::Member member = *cursor;
    if (member.name() == name && member.value().kind() == json::Kind::kString) {
      last = std::string(member.value().asString().view());
    }
  }
  return last;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Element element;
  TulService::Service& service = *element.service;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<json::Document> document;
  try {
    document.emplace(json::Document::parse(text));
  } catch (const json::ParseError&) {
    return 0;
  }
  static const json::Document before =
      json::Document::parse(R"({"address":"before:1","serviceName":"Before"})");
  service.loadConfiguration(before.root().asObject(), ormanta::config::Context("Service"));
  try {
    const json::Object object = document->root().asObject();
    service.loadConfiguration(object, ormanta::config::Context("Service"));
    const std::string serviceName = lastString(object, "serviceName").value_or("");
    check(service.address() == lastString(object, "address").value_or(""), "the last address is taken",
          service.address());
    check(service.serviceName() ==
              (serviceName.empty() ? TulService::Service::kDefaultServiceName : serviceName),
          "the last service name is taken", service.serviceName());
  } catch (const std::invalid_argument&) {
    check(service.address() == "before:1" && service.serviceName() == "Before",
          "a refused configuration changes nothing");
  } catch (const std::runtime_error&) {
    check(service.address() == "before:1" && service.serviceName() == "Before",
          "a refused configuration changes nothing");
  }
  return 0;
}
