#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "ormanta/data/Types.h"
#include "ormanta/host/Host.h"
#include "ormanta/host/Model.h"
#include "ormanta/utils/json/Decoder.h"
#include "plugin/Attributes.h"
#include "plugin/Service.h"
#include "plugin/Skill.h"

namespace tul::test {

using ormanta::plugins::TulService::Service;

// Makes service elements the way the host does (through the skill, bound to a model,
// configured and realized); the functions below read their attributes through the host.
class ServiceHarness {
 public:
  // Created, bound to the model, configured with configJson (a JSON object text) and realized.
  std::shared_ptr<Service> create(std::string_view configJson, std::string key = "Service") {
    auto element = skill_.createElement(ormanta::plugins::TulService::serviceElementClass(), allocator_);
    auto service = std::static_pointer_cast<Service>(element);
    model_->bind(service, std::move(key));
    auto document = ormanta::utils::json::decoder::Document::parse(configJson);
    service->loadConfiguration(document.root().asObject(), ormanta::config::Context("Service"));
    service->realize();
    return service;
  }

  ormanta::host::Model& model() { return *model_; }
  ormanta::host::CountingAllocator& allocator() { return allocator_; }

 private:
  ormanta::host::CountingAllocator allocator_;  // outlives the elements made in it
  ormanta::plugins::TulService::Skill skill_;
  std::shared_ptr<ormanta::host::Model> model_ = ormanta::host::Model::create();
};

inline ormanta::data::Value readAttribute(const Service& service,
                                          ormanta::plugins::TulService::ServiceAttribute which) {
  auto value = ormanta::host::readAttribute(service, ormanta::plugins::TulService::serviceAttribute(which));
  return value ? *value : ormanta::data::Value{};
}

inline std::error_code errorAttribute(const Service& service,
                                      ormanta::plugins::TulService::ServiceAttribute which) {
  auto value = readAttribute(service, which);
  auto* code = std::get_if<std::error_code>(&value);
  return code ? *code : std::make_error_code(std::errc::invalid_argument);
}

inline bool flagAttribute(const Service& service, ormanta::plugins::TulService::ServiceAttribute which) {
  auto value = readAttribute(service, which);
  auto* flag = std::get_if<bool>(&value);
  return flag && *flag;
}

// Configuration text for a service on a server address (not JSON-escaped).
inline std::string serviceConfig(std::string_view address, std::string_view serviceName = "") {
  std::string text = "{\"address\":\"" + std::string(address) + "\"";
  if (!serviceName.empty()) text += ",\"serviceName\":\"" + std::string(serviceName) + "\"";
  return text + "}";
}

// An address on the loopback interface where nothing listens: connects fail at once.
inline constexpr std::string_view kClosedAddress = "127.0.0.1:1";

}  // namespace tul::test
