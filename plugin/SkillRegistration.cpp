// The plug-in's static objects. Loading the module constructs the skill class (which makes
// the skill "TUL" known to the host), then fills in the attribute definitions; unloading
// destroys the element class and then the skill class, which makes the host forget the skill.

#include <string>

#include "ormanta/skill/Skill.h"
#include "ormanta/utils/core/Uuid.h"
#include "plugin/Attributes.h"
#include "plugin/Service.h"
#include "plugin/Skill.h"

namespace ormanta::plugins::TulService {
namespace {

using utils::core::Uuid;

constexpr Uuid::Bytes kSkillUuid = {0x59, 0x5e, 0x1e, 0xe2, 0x95, 0xca, 0x4c, 0xe0,
                                    0x88, 0x3f, 0x53, 0x58, 0x93, 0xcb, 0x4b, 0x7c};
constexpr Uuid::Bytes kServiceClassUuid = {0x26, 0xa7, 0xc5, 0x9d, 0x3f, 0xb3, 0x4b, 0x9f,
                                           0x8c, 0x98, 0x66, 0x95, 0xbe, 0x5b, 0x34, 0x11};

class ServiceElementClass final : public skill::Element::Class {
 public:
  std::string_view name() const override { return "Service"; }
  Uuid uuid() const override { return Uuid::fromRawData(kServiceClassUuid); }
  std::string_view displayName() const override { return "TUL service"; }
};

class SkillClass final : public skill::Skill::Class {
 public:
  std::string_view name() const override { return "TUL"; }
  Uuid uuid() const override { return Uuid::fromRawData(kSkillUuid); }
  bool forEachElementClass(utils::FunctionRef<bool(const skill::Element::Class&)> function) const override {
    return function(serviceElementClass());
  }
  std::unique_ptr<skill::Skill> createSkill() const override { return std::make_unique<Skill>(); }
};

// Construction order is declaration order: the skill first, then the definitions.
SkillClass skillClass;

std::array<model::Attribute, kServiceAttributeCount> attributeDefinitions;

void define(ServiceAttribute which, const Uuid::Bytes& uuid, const char* name, data::DataType type) {
  attributeDefinitions[static_cast<std::size_t>(which)] =
      model::Attribute(Uuid::fromRawData(uuid), name, type, model::kAccessRead);
}

const bool attributesDefined = [] {
  using enum ServiceAttribute;
  define(kAddress,
         {0xd9, 0xa3, 0xac, 0x39, 0x1c, 0xf8, 0x4a, 0x80, 0x9c, 0x38, 0x34, 0x9c, 0xd9, 0xb3, 0x3d, 0xb3},
         "address", data::DataType::kString);
  define(kServiceName,
         {0xcc, 0xc2, 0x66, 0x14, 0x92, 0xfa, 0x42, 0xba, 0xbd, 0x91, 0x41, 0x8f, 0xca, 0x88, 0xb5, 0xb2},
         "serviceName", data::DataType::kString);
  define(kDataConnectionError,
         {0xa5, 0xba, 0x75, 0x14, 0x05, 0x4a, 0x46, 0xab, 0xbe, 0x1b, 0xbc, 0x20, 0xc1, 0xd7, 0xf7, 0x8a},
         "dataConnectionError", data::DataType::kErrorCode);
  define(kDataConnectionState,
         {0x67, 0x94, 0xb6, 0x71, 0x57, 0xd3, 0x42, 0x86, 0xb8, 0x56, 0x4b, 0xa1, 0x7a, 0x5b, 0x6e, 0xff},
         "dataConnectionState", data::DataType::kBoolean);
  define(kCommandConnectionError,
         {0xe7, 0xe9, 0x27, 0xd0, 0xaf, 0x89, 0x46, 0x65, 0xb3, 0x98, 0xe2, 0x9f, 0x9f, 0x29, 0x9e, 0xcd},
         "commandConnectionError", data::DataType::kErrorCode);
  define(kCommandConnectionState,
         {0xab, 0xa0, 0xd0, 0x11, 0x03, 0xb2, 0x44, 0x2e, 0xab, 0xcc, 0x7b, 0x45, 0x0b, 0x5f, 0xee, 0xf9},
         "commandConnectionState", data::DataType::kBoolean);
  define(kServiceRegistrationError,
         {0x8d, 0x63, 0x53, 0xf5, 0xa9, 0x9a, 0x40, 0x75, 0x82, 0x6d, 0x4e, 0xf6, 0x4a, 0xac, 0x52, 0x19},
         "serviceRegistrationError", data::DataType::kErrorCode);
  define(kIsServiceRegistered,
         {0xe8, 0xc3, 0x02, 0x19, 0xdf, 0xbd, 0x48, 0xf5, 0x84, 0x25, 0x58, 0x99, 0x35, 0x5d, 0xcb, 0x20},
         "isServiceRegistered", data::DataType::kBoolean);
  // The error attribute is the host's error role: its UUID, name and role value.
  attributeDefinitions[static_cast<std::size_t>(kError)] =
      model::Attribute(model::Attribute::kError, data::DataType::kErrorCode, model::kAccessRead);
  define(kState,
         {0x9c, 0x57, 0xa0, 0xfe, 0x52, 0xef, 0x44, 0xf4, 0xb1, 0x1a, 0xf9, 0x8d, 0xe6, 0x15, 0xc5, 0x2d},
         "state", data::DataType::kBoolean);
  define(kPublishingError,
         {0x3b, 0x1f, 0x6e, 0x84, 0x0c, 0x5d, 0x47, 0x21, 0x9a, 0x6e, 0xd2, 0x47, 0x15, 0x8b, 0xc3, 0x90},
         "publishingError", data::DataType::kErrorCode);
  define(kPrimaryAddress,
         {0x95, 0xae, 0x74, 0x79, 0xa1, 0x4c, 0x41, 0x2f, 0x8a, 0xbf, 0x12, 0x97, 0xff, 0xd5, 0x74, 0xcb},
         "primaryAddress", data::DataType::kString);
  return true;
}();

// Constant-initialised: usable before any dynamic initialiser of the module has run.
constinit ServiceElementClass serviceClass;

}  // namespace

const skill::Element::Class& serviceElementClass() noexcept { return serviceClass; }

const std::array<model::Attribute, kServiceAttributeCount>& serviceAttributes() noexcept {
  return attributeDefinitions;
}

std::shared_ptr<skill::Element> Skill::createElement(const skill::Element::Class& elementClass,
                                                     skill::ElementAllocator& allocator) {
  // Classes are compared by identity: only our own static object is ours.
  if (&elementClass != &serviceClass) return nullptr;
  return skill::makeElement<Service>(allocator);
}

}  // namespace ormanta::plugins::TulService
