// The host runner's model file: the input is the file's text, built into a fresh model.
//
// Properties: a bad file fails with std::invalid_argument or the decoder's ParseError (a
// std::runtime_error), nothing else; a good one gives simulated attributes that each name an
// element and attribute of the model holding a value of the declared type.

#include <stdexcept>
#include <string_view>
#include <variant>

#include "FuzzSupport.h"
#include "host/ModelFile.h"
#include "ormanta/utils/json/Decoder.h"

namespace {

using namespace tul::fuzz;
using ormanta::data::NativeType;

// The index of the value type that a native type's values have in data::Value.
std::size_t valueIndex(NativeType type) {
  switch (type) {
    case NativeType::kBool:
      return ormanta::data::Value(false).index();
    case NativeType::kInt:
      return ormanta::data::Value(std::int64_t{0}).index();
    case NativeType::kUInt:
      return ormanta::data::Value(std::uint64_t{0}).index();
    case NativeType::kDouble:
      return ormanta::data::Value(0.0).index();
    default:
      return std::variant_npos;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::shared_ptr<ormanta::host::Model> model = ormanta::host::Model::create();
  std::vector<ormanta::apps::SimulatedAttribute> simulated;
  try {
    simulated = ormanta::apps::buildModel(text, *model);
  } catch (const std::invalid_argument&) {
    return 0;
  } catch (const ormanta::utils::json::decoder::ParseError&) {
    return 0;
  }
  for (const ormanta::apps::SimulatedAttribute& attribute : simulated) {
    check(model->findElement(attribute.primaryKey) != nullptr, "a simulated attribute's element exists",
          attribute.primaryKey);
    const auto value = model->readValue(attribute.primaryKey, attribute.attribute);
    check(static_cast<bool>(value), "a simulated attribute can be read", attribute.attribute);
    check(value->index() == valueIndex(attribute.type), "a simulated attribute holds its type's value",
          attribute.attribute);
  }
  return 0;
}
