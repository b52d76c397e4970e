#include "registration/DataPointCatalogue.h"

#include <rapidjson/encodings.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "ormanta/data/Handles.h"
#include "plugin/Service.h"

namespace ormanta::plugins::TulService {

namespace {

// Codes without a value type: such attributes cannot be published.
constexpr std::int32_t kBinaryCode = static_cast<std::int32_t>(data::NativeType::kBinary);
constexpr std::int32_t kStructureCode = static_cast<std::int32_t>(data::NativeType::kStructure);

// rapidjson's input stream concept over a text; past the end it gives a zero byte, which no
// multi-byte sequence accepts, so a sequence cut short by the end is ill-formed.
class TextStream {
 public:
  using Ch = char;
  explicit TextStream(std::string_view text) noexcept : text_(text) {}
  Ch Take() noexcept { return position_ < text_.size() ? text_[position_++] : (++position_, '\0'); }
  bool atEnd() const noexcept { return position_ >= text_.size(); }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

struct DiscardingStream {
  void Put(char) noexcept {}
};

class CatalogueBuilder {
 public:
  CatalogueBuilder(std::string_view serviceName, std::stop_token stop, DataPointCatalogue& catalogue)
      : serviceName_(serviceName), stop_(std::move(stop)), catalogue_(catalogue) {}

  // Returning true ends the host's enumeration: the stop leaves the host's frames normally
  // and is thrown only once the walk is back in our own code.
  void visitChildren(const model::Element& parent) {
    parent.forEachChildElement([this](const model::Element& child) {
      if (stop_.stop_requested()) {
        stopped_ = true;
      } else {
        visit(child);  // sets stopped_ when the stop came during its children
      }
      return stopped_;
    });
  }

  void throwIfStopped() const {
    if (stopped_) throw std::system_error(std::make_error_code(std::errc::operation_canceled));
  }

 private:
  void visit(const model::Element& element) {
    const std::string& key = element.primaryKey();
    std::string name;
    name.reserve(serviceName_.size() + 1 + key.size());
    name.append(serviceName_).append(1, '.').append(key);
    if (isValidUtf8(name)) {
      MemberList members;
      // Elements of one model tend to look alike: one allocation per list in the usual case.
      members.reserve(lastMemberCount_);
      element.forEachAttribute([&](const model::Attribute& attribute) {
        addMember(element, attribute, members);
        return false;
      });
      lastMemberCount_ = members.size();
      // try_emplace leaves members untouched when the name is taken: the first element wins.
      const auto [entry, inserted] = catalogue_.try_emplace(std::move(name), std::move(members));
      if (inserted) {
        std::sort(entry->second.begin(), entry->second.end(),
                  [](const MemberDescription& a, const MemberDescription& b) { return a.name < b.name; });
      }
    }
    // Children are judged by their own names, whatever became of their parent.
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

  static void addMember(const model::Element& element, const model::Attribute& attribute,
                        MemberList& members) {
    if (excluded(attribute.name()) || !isValidUtf8(attribute.name())) return;
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
  std::stop_token stop_;
  bool stopped_ = false;
  DataPointCatalogue& catalogue_;
  std::size_t lastMemberCount_ = 0;
};

}  // namespace

DataPointCatalogue buildCatalogue(const model::Element& root, std::string_view serviceName,
                                  std::stop_token stop) {
  DataPointCatalogue catalogue;
  CatalogueBuilder builder(serviceName, std::move(stop), catalogue);
  builder.visitChildren(root);
  builder.throwIfStopped();
  return catalogue;
}

void fillCatalogue(const Service& service, DataPointCatalogue& catalogue, std::stop_token stop) {
  // Held for the whole walk: the model may drop its last other owner meanwhile.
  const std::shared_ptr<model::Element> root = service.rootElement();
  if (!root) return;
  CatalogueBuilder builder(service.serviceName(), std::move(stop), catalogue);
  builder.visitChildren(*root);
  builder.throwIfStopped();
}

DataPointCatalogue buildCatalogue(const Service& service, std::stop_token stop) {
  DataPointCatalogue catalogue;
  fillCatalogue(service, catalogue, std::move(stop));
  return catalogue;
}

bool isValidUtf8(std::string_view text) noexcept {
  // Names are mostly ASCII, which needs no decoding.
  if (std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    return true;
  }
  TextStream in(text);
  DiscardingStream out;
  while (!in.atEnd()) {
    if (!rapidjson::UTF8<char>::Validate(in, out)) return false;
  }
  return true;
}

NativeTypeDescription describeNativeType(std::int32_t nativeType, std::int32_t bitSize) {
  // Sign-extended on purpose: the size mirrors whatever the handle reported.
  const auto reportedSize = static_cast<std::uint64_t>(static_cast<std::int64_t>(bitSize));
  switch (static_cast<data::NativeType>(nativeType)) {
    case data::NativeType::kBool:
      return {"Bool", 8};
    case data::NativeType::kInt:
      return {"Int", reportedSize};
    case data::NativeType::kUInt:
      return {"UInt", reportedSize};
    case data::NativeType::kDouble:
      return {"Real", reportedSize};
    case data::NativeType::kString:
    case data::NativeType::kText:
    case data::NativeType::kPath:
    case data::NativeType::kName:
    case data::NativeType::kJson:
    case data::NativeType::kErrorCode:
      return {"String", 524288};
    // Fixed text capacities: ISO time point, UUID text, enumerator names.
    case data::NativeType::kTimePoint:
      return {"String", 46};
    case data::NativeType::kUuid:
      return {"String", 36};
    case data::NativeType::kQuality:
      return {"String", 80};
    case data::NativeType::kCategory:
      return {"String", 144};
    case data::NativeType::kBinary:
    case data::NativeType::kStructure:
      break;
  }
  throw std::invalid_argument("Unsupported native type");
}

std::string_view accessText(std::int32_t accessMode) {
  switch (accessMode) {
    case model::kAccessRead:
      return "r";
    case model::kAccessWrite:
      return "w";
    case model::kAccessReadWrite:
      return "b";
    default:
      throw std::runtime_error("Unknown access modifier");
  }
}

const std::unordered_set<std::string>& excludedAttributeNames() {
  static const std::unordered_set<std::string> names{"name", "key", "UUID"};
  return names;
}

}  // namespace ormanta::plugins::TulService
