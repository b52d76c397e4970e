#include "peer/Registration.h"

#include <algorithm>

#include "ormanta/utils/json/Decoder.h"
#include "publishing/ValueStreams.h"

namespace ormanta::peer {
namespace {

namespace json = utils::json::decoder;

std::string stringMember(const json::Object& object, std::string_view name) {
  std::optional<json::Value> value = object.find(name);
  return value ? std::string(value->asString().view()) : std::string();
}

std::uint64_t sizeMember(const json::Object& object) {
  std::optional<json::Value> value = object.find("size");
  return value ? value->asUInt64() : 0;
}

ServiceRecord parseServiceRecord(const std::string& name, const std::string& text) {
  ServiceRecord record = defaultServiceRecord(name);
  try {
    const json::Document document = json::Document::parse(text);
    const json::Object object = document.root().asObject();
    record.dataPointsKey = stringMember(object, "dataPointsKey");
    record.dataTypesKey = stringMember(object, "dataTypesKey");
    record.commandStream = stringMember(object, "cmdChn");
  } catch (const std::exception&) {
    return defaultServiceRecord(name);
  }
  return record;
}

struct StructureMember {
  std::string name;
  std::string type;
  std::uint64_t size;
  std::string access;
  std::string updateChannel;
};

std::vector<StructureMember> parseStructure(const std::string& typeName, const std::string& text) {
  std::vector<StructureMember> members;
  try {
    const json::Document document = json::Document::parse(text);
    const json::Array array = document.root().asArray();
    for (std::size_t i = 0; i < array.size(); ++i) {
      const json::Object object = array.at(i).asObject();
      members.push_back({stringMember(object, "name"), stringMember(object, "type"), sizeMember(object),
                         stringMember(object, "access"), stringMember(object, "updateChn")});
    }
  } catch (const std::exception& error) {
    throw PeerError("data type " + typeName + ": " + error.what());
  }
  return members;
}

}  // namespace

const MemberInfo* Catalogue::findMember(std::string_view path) const {
  for (const DataPointInfo& dataPoint : dataPoints) {
    for (const MemberInfo& member : dataPoint.members) {
      if (member.path == path) return &member;
    }
  }
  return nullptr;
}

ServiceRecord defaultServiceRecord(const std::string& service) {
  return {service, service + ".DataPoints", service + ".DataTypes", service + ".Commands"};
}

std::string valueStreamKey(const std::string& service, const std::string& memberPath) {
  return plugins::TulService::valueStreamKey(plugins::TulService::valueStreamPrefix(service), memberPath);
}

std::string statusKey(const std::string& service) { return service + ".Status"; }

std::optional<StatusInfo> readStatus(PeerConnection& connection, const std::string& service) {
  ReplyPtr reply = connection.command({"GET", statusKey(service)});
  if (reply->type == REDIS_REPLY_NIL) return std::nullopt;
  const std::string text = reply->str == nullptr ? std::string() : std::string(reply->str, reply->len);
  if (reply->type != REDIS_REPLY_STRING) throw PeerError("GET " + statusKey(service) + ": " + text);
  StatusInfo status;
  try {
    const json::Document document = json::Document::parse(text);
    const json::Object object = document.root().asObject();
    status.connectedSince = std::string(object.find("connectedSince").value().asString().view());
    const std::optional<json::Value> registeredAt = object.find("registeredAt");
    if (registeredAt && !registeredAt->isNull())
      status.registeredAt = std::string(registeredAt->asString().view());
  } catch (const std::exception& error) {
    throw PeerError(statusKey(service) + " holds no service status: " + error.what());
  }
  return status;
}

std::vector<ServiceRecord> readServices(PeerConnection& connection) {
  std::vector<ServiceRecord> services;
  for (const auto& [name, text] : connection.hgetall("Services"))
    services.push_back(parseServiceRecord(name, text));
  std::sort(services.begin(), services.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return services;
}

std::optional<ServiceRecord> readService(PeerConnection& connection, const std::string& service) {
  std::optional<std::string> text = connection.hget("Services", service);
  if (!text) return std::nullopt;
  return parseServiceRecord(service, *text);
}

Catalogue readCatalogue(PeerConnection& connection, const ServiceRecord& service) {
  Catalogue catalogue;
  std::map<std::string, std::string> types;
  for (auto& [name, text] : connection.hgetall(service.dataTypesKey)) types.emplace(name, std::move(text));
  for (const auto& [name, text] : types) {
    if (name.rfind("e_", 0) != 0) continue;
    try {
      const json::Document document = json::Document::parse(text);
      const json::Array values = document.root().asObject().find("enumValues").value().asArray();
      std::vector<std::string>& names = catalogue.enumerations[name];
      for (std::size_t i = 0; i < values.size(); ++i) names.emplace_back(values.at(i).asString().view());
    } catch (const std::exception& error) {
      throw PeerError("data type " + name + ": " + std::string(error.what()));
    }
  }
  for (const auto& [name, text] : connection.hgetall(service.dataPointsKey)) {
    DataPointInfo dataPoint;
    std::string updateChannel;
    try {
      const json::Document document = json::Document::parse(text);
      const json::Object object = document.root().asObject();
      dataPoint.name = stringMember(object, "name");
      dataPoint.type = stringMember(object, "type");
      dataPoint.size = sizeMember(object);
      updateChannel = stringMember(object, "updateChn");
    } catch (const std::exception& error) {
      throw PeerError("data point " + name + ": " + error.what());
    }
    if (dataPoint.name.empty()) dataPoint.name = name;
    if (auto type = types.find(dataPoint.type); type != types.end()) {
      for (StructureMember& member : parseStructure(type->first, type->second)) {
        const std::string path = dataPoint.name + member.name;
        const std::string stream =
            updateChannel.empty() ? valueStreamKey(service.name, path) : updateChannel + member.updateChannel;
        dataPoint.members.push_back({path, member.type, member.size, member.access, stream});
      }
    }
    catalogue.dataPoints.push_back(std::move(dataPoint));
  }
  std::sort(catalogue.dataPoints.begin(), catalogue.dataPoints.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  return catalogue;
}

std::string memberPath(const std::string& service, const std::string& member, const Catalogue* catalogue) {
  const std::string prefixed = service + "." + member;
  if (catalogue != nullptr) {
    if (catalogue->findMember(prefixed)) return prefixed;
    if (catalogue->findMember(member)) return member;
  }
  return member.rfind(service + ".", 0) == 0 ? member : prefixed;
}

}  // namespace ormanta::peer
