#pragma once

// What a registered service tells its peers: the "Services" hash and the service's data point
// and data type hashes.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "peer/PeerConnection.h"

namespace ormanta::peer {

struct ServiceRecord {
  std::string name;
  std::string dataPointsKey;
  std::string dataTypesKey;
  std::string commandStream;
};

struct MemberInfo {
  std::string path;  // data point name + member name, e.g. "S.Boiler.Temp"
  std::string type;  // "Bool", "Int", "UInt", "Real", "String"
  std::uint64_t size = 0;
  std::string access;     // "r", "w", "b"
  std::string streamKey;  // the member's value stream
};

struct DataPointInfo {
  std::string name;
  std::string type;  // structure type name, "t_N"
  std::uint64_t size = 0;
  std::vector<MemberInfo> members;
};

struct Catalogue {
  std::vector<DataPointInfo> dataPoints;                         // by name
  std::map<std::string, std::vector<std::string>> enumerations;  // "e_quality" -> names
  const MemberInfo* findMember(std::string_view path) const;
};

// What the service's status key "<S>.Status" tells: it exists only while the service serves.
struct StatusInfo {
  std::string connectedSince;               // ISO time of the service's data connection
  std::optional<std::string> registeredAt;  // ISO time of its last completed registration
  bool operator==(const StatusInfo&) const = default;
};

std::string statusKey(const std::string& service);
// Empty when the key is missing: the service is not serving. Throws PeerError for a text that
// is not the service's JSON.
std::optional<StatusInfo> readStatus(PeerConnection& connection, const std::string& service);

// The keys of a service name, as a registration forms them (used when the record is absent).
ServiceRecord defaultServiceRecord(const std::string& service);
std::string valueStreamKey(const std::string& service, const std::string& memberPath);

// Every field of "Services"; records that are not valid JSON get the default keys.
std::vector<ServiceRecord> readServices(PeerConnection& connection);
// The record of one service; empty when it is not registered.
std::optional<ServiceRecord> readService(PeerConnection& connection, const std::string& service);
// The data points and types of a service. Throws PeerError for records that are not valid.
Catalogue readCatalogue(PeerConnection& connection, const ServiceRecord& service);

// The full member path of MEMBER: given with or without the service name in front. When the
// catalogue knows one of the two forms, that one is taken.
std::string memberPath(const std::string& service, const std::string& member, const Catalogue* catalogue);

}  // namespace ormanta::peer
