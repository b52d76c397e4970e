#include "registration/RegistrationRecords.h"

#include "ormanta/data/Types.h"
#include "ormanta/model/ElementCategory.h"
#include "redis/StaticNumberText.h"
#include "registration/StringOutputStream.h"

namespace ormanta::plugins::TulService {

namespace encoder = utils::json::encoder;

namespace {

// Bytes of a data point record besides its five values: keys, quotes, separators, "b".
constexpr std::size_t kDataPointRecordFrame = 57;
constexpr std::size_t kNumberCapacity = 20;

template <std::size_t N, class Enum>
std::array<std::string_view, N> enumeratorNames() {
  std::array<std::string_view, N> names{};
  for (std::size_t value = 0; value < N; ++value) names[value] = toBasicString(static_cast<Enum>(value));
  return names;
}

}  // namespace

std::string encodeServiceRecord(std::string_view dataPointsKey, std::string_view dataTypesKey,
                                std::string_view commandStreamKey) {
  StringOutputStream stream;
  encoder::Document document(stream, kRecordFormat);
  encoder::Object root = document.asObject();
  root.addStringView("dataPointsKey", dataPointsKey);
  root.addStringView("dataTypesKey", dataTypesKey);
  root.addStringView("cmdChn", commandStreamKey);
  root.close();
  document.close();
  return stream.take();
}

std::string encodeEnumerationTypeRecord(std::span<const std::string_view> names) {
  StringOutputStream stream;
  encoder::Document document(stream, kRecordFormat);
  encoder::Object root = document.asObject();
  encoder::Array values = root.addArray("enumValues");
  for (const std::string_view name : names) values.addStringView(name);
  values.close();
  root.close();
  document.close();
  return stream.take();
}

const std::array<std::string_view, 4>& qualityNames() {
  static const auto names = enumeratorNames<4, data::Quality>();
  return names;
}

const std::array<std::string_view, 16>& elementCategoryNames() {
  static const auto names = enumeratorNames<16, model::ElementCategory>();
  return names;
}

StructureTypeRecord encodeStructureTypeRecord(const MemberList& members) {
  StructureTypeRecord record;
  StringOutputStream stream;
  encoder::Document document(stream, kRecordFormat);
  encoder::Array root = document.asArray();
  std::string memberName;
  for (const MemberDescription& member : members) {
    memberName.assign(1, '.').append(member.name);
    const NativeTypeDescription type = describeNativeType(member.nativeType, member.bitSize);
    const std::string_view access = accessText(member.access);
    encoder::Object object = root.addObject();
    object.addStringView("name", memberName);
    object.addStringView("type", type.typeText);
    object.addPreformattedNumber("size", StaticNumberText<kNumberCapacity>(type.size));
    object.addStringView("access", access);
    object.addStringView("updateChn", memberName);
    object.close();
    record.totalSize += type.size;
  }
  root.close();
  document.close();
  record.text = stream.take();
  return record;
}

std::string encodeDataPointRecord(std::string_view name, std::string_view typeName, std::uint64_t totalSize,
                                  std::string_view updateChannel) {
  StringOutputStream stream(kDataPointRecordFrame + name.size() + typeName.size() + kNumberCapacity +
                            updateChannel.size());
  encoder::Document document(stream, kRecordFormat);
  encoder::Object root = document.asObject();
  root.addStringView("name", name);
  root.addStringView("type", typeName);
  root.addPreformattedNumber("size", StaticNumberText<kNumberCapacity>(totalSize));
  root.addStringView("access", "b");
  root.addStringView("updateChn", updateChannel);
  root.close();
  document.close();
  return stream.take();
}

}  // namespace ormanta::plugins::TulService
