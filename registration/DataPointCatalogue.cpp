#include "registration/DataPointCatalogue.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "ormanta/data/Handles.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {

namespace {

// Codes without a value type: such attributes cannot be published.
constexpr std::int32_t kBinaryCode = static_cast<std::int32_t>(data::NativeType::kBinary);
constexpr std::int32_t kStructureCode = static_cast<std::int32_t>(data::NativeType::kStructure);

class CatalogueBuilder {
 public:
  explicit CatalogueBuilder(std::string_view serviceName) : serviceName_(serviceName) {}

  void visitChildren(const model::Element& parent) {
    parent.forEachChildElement([this](const model::Element& child) {
      visit(child);
      return false;
    });
  }

  DataPointCatalogue take() { return std::move(catalogue_); }

 private:
  void visit(const model::Element& element) {
    MemberList members;
    // Elements of one model tend to look alike: one allocation per list in the usual case.
    members.reserve(lastMemberCount_);
    element.forEachAttribute([&](const model::Attribute& attribute) {
      addMember(element, attribute, members);
      return false;
    });
    lastMemberCount_ = members.size();

    const std::string& key = element.primaryKey();
    std::string name;
    name.reserve(serviceName_.size() + 1 + key.size());
    name.append(serviceName_).append(1, '.').append(key);
    // try_emplace leaves members untouched when the name is taken: the first element wins.
    const auto [entry, inserted] = catalogue_.try_emplace(std::move(name), std::move(members));
    if (inserted) {
      std::sort(entry->second.begin(), entry->second.end(),
                [](const MemberDescription& a, const MemberDescription& b) { return a.name < b.name; });
    }
    visitChildren(element);
  }

  static bool excluded(const std::string& name) {
    // Most names are longer than every excluded one and need no hashing.
    static const std::size_t longest = [] {
      std::size_t length = 0;
      for (const std::string& each : excludedAttributeNames()) length = std::max(length, each.size());
      return length;
    }();
    return name.size() <= longest && excludedAttributeNames().contains(name);
  }

  static void addMember(const model::Element& element, const model::Attribute& attribute, MemberList& members) {
    if (excluded(attribute.name())) return;
    std::int32_t nativeType = 0;
    std::int32_t bitSize = 0;
    // Only the value counts: a host may report "usable" in a category of its own.
    if (const data::ReadHandle read = element.attributeReadHandle(attribute); read.hardError().value() == 0) {
      nativeType = static_cast<std::int32_t>(read.nativeType());
      bitSize = read.bitSize();
    } else if (const data::WriteHandle write = element.attributeWriteHandle(attribute);
               write.hardError().value() == 0) {
      nativeType = static_cast<std::int32_t>(write.nativeType());
      bitSize = write.bitSize();
    } else {
      return;
    }
    if (nativeType == kBinaryCode || nativeType == kStructureCode) return;
    members.push_back({attribute.name(), nativeType, bitSize, attribute.accessMode()});
  }

  std::string_view serviceName_;
  DataPointCatalogue catalogue_;
  std::size_t lastMemberCount_ = 0;
};

}  // namespace

DataPointCatalogue buildCatalogue(const model::Element& root, std::string_view serviceName) {
  CatalogueBuilder builder(serviceName);
  builder.visitChildren(root);
  return builder.take();
}

DataPointCatalogue buildCatalogue(const Service& service) {
  // Held for the whole walk: the model may drop its last other owner meanwhile.
  const std::shared_ptr<model::Element> root = service.rootElement();
  if (!root) return {};
  return buildCatalogue(*root, service.serviceName);
}

NativeTypeDescription describeNativeType(std::int32_t nativeType, std::int32_t bitSize) {
  // Sign-extended on purpose: the size mirrors whatever the handle reported.
  const auto reportedSize = static_cast<std::uint64_t>(static_cast<std::int64_t>(bitSize));
  switch (static_cast<data::NativeType>(nativeType)) {
    case data::NativeType::kBool: return {"Bool", 8};
    case data::NativeType::kInt: return {"Int", reportedSize};
    case data::NativeType::kUInt: return {"UInt", reportedSize};
    case data::NativeType::kDouble: return {"Real", reportedSize};
    case data::NativeType::kString:
    case data::NativeType::kText:
    case data::NativeType::kPath:
    case data::NativeType::kName:
    case data::NativeType::kJson:
    case data::NativeType::kErrorCode: return {"String", 524288};
    // Fixed text capacities: ISO time point, UUID text, enumerator names.
    case data::NativeType::kTimePoint: return {"String", 46};
    case data::NativeType::kUuid: return {"String", 36};
    case data::NativeType::kQuality: return {"String", 80};
    case data::NativeType::kCategory: return {"String", 144};
    case data::NativeType::kBinary:
    case data::NativeType::kStructure: break;
  }
  throw std::invalid_argument("Unsupported native type");
}

std::string_view accessText(std::int32_t accessMode) {
  switch (accessMode) {
    case model::kAccessRead: return "r";
    case model::kAccessWrite: return "w";
    case model::kAccessReadWrite: return "b";
    default: throw std::runtime_error("Unknown access modifier");
  }
}

const std::unordered_set<std::string>& excludedAttributeNames() {
  static const std::unordered_set<std::string> names{"name", "key", "UUID"};
  return names;
}

}  // namespace ormanta::plugins::TulService
