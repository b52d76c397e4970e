#pragma once

// The description of the host's model that one registration run publishes: every element
// below the root is a data point, every publishable attribute one of its members.
//
// Threads: a catalogue is built and used by the registration worker thread only; the host
// model is read through the host's calls, which may run while the model changes.

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ormanta/model/Element.h"

namespace ormanta::plugins::TulService {

class Service;

// One published attribute.
struct MemberDescription {
  std::string name;         // the attribute definition's name
  std::int32_t nativeType;  // code of data::NativeType, 0 to 13 (or above 15, refused later)
  std::int32_t bitSize;     // as the handle reports it
  std::int32_t access;      // the definition's access mode: 0 r, 1 w, 2 b, anything else invalid

  friend bool operator==(const MemberDescription&, const MemberDescription&) = default;
};

using MemberList = std::vector<MemberDescription>;

// Data point name ("S.<primary key>") to its members, sorted by name byte-wise.
class DataPointCatalogue : public std::unordered_map<std::string, MemberList> {
 public:
  DataPointCatalogue() : unordered_map(8) { max_load_factor(1.0f); }
};

// Walks the model the service is placed in (its rootElement()), with the service's name.
DataPointCatalogue buildCatalogue(const Service& service, std::stop_token stop = {});
// The same walk below any root: every descendant of root, depth first, the element before
// its children; root itself is no data point. Exceptions of the host's calls pass through.
//
// Left out, as peers could not use them: elements whose data point name, and attributes whose
// name, is not valid UTF-8 (JSON would carry a replacement character instead, a name the
// service never answers to, and two such elements could collapse into one name).
//
// stop is checked before every element: once it is requested, the host's enumeration is
// ended and std::system_error(std::errc::operation_canceled) thrown, so that a huge model
// does not hold up the worker's stop. No partial catalogue is ever returned.
DataPointCatalogue buildCatalogue(const model::Element& root, std::string_view serviceName,
                                  std::stop_token stop = {});
// buildCatalogue into catalogue (meant to be empty). What was walked stays there also when the
// walk throws, so that the caller decides where the entries of a huge model are freed.
void fillCatalogue(const Service& service, DataPointCatalogue& catalogue, std::stop_token stop);

// Well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF); zero bytes
// are U+0000 and valid.
bool isValidUtf8(std::string_view text) noexcept;

struct NativeTypeDescription {
  std::string_view typeText;  // "Bool", "Int", "UInt", "Real" or "String"
  std::uint64_t size;
};

// Throws std::invalid_argument "Unsupported native type" for codes without a value type
// (14, 15, anything outside 0 to 13).
NativeTypeDescription describeNativeType(std::int32_t nativeType, std::int32_t bitSize);

// "r", "w" or "b"; throws std::runtime_error "Unknown access modifier" for other modes.
std::string_view accessText(std::int32_t accessMode);

// "name", "key" and "UUID": the host's own attributes, never published. Built on first use
// (thread-safe), constant afterwards.
const std::unordered_set<std::string>& excludedAttributeNames();

}  // namespace ormanta::plugins::TulService
