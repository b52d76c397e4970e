#include "publishing/ValueText.h"

#include "ormanta/utils/chrono/IsoDateTime.h"
#include "redis/StaticNumberText.h"

namespace ormanta::plugins::TulService {
namespace {

template <class T, class Convert>
std::optional<std::string> readAs(const data::ReadHandle& handle, Convert&& convert) {
  utils::Expected<T> value = handle.read<T>();
  if (!value) return std::nullopt;
  return convert(*value);
}

template <std::size_t Capacity, class Number>
std::string numberText(Number number) {
  return std::string(StaticNumberText<Capacity>(number).view());
}

}  // namespace

std::optional<std::string> valueText(const data::ReadHandle& handle) {
  using data::NativeType;
  switch (handle.nativeType()) {
    case NativeType::kBool:
      return readAs<bool>(handle, [](bool v) { return std::string(v ? "true" : "false"); });
    case NativeType::kInt:
      return readAs<std::int64_t>(handle, [](std::int64_t v) { return numberText<20>(v); });
    case NativeType::kUInt:
      return readAs<std::uint64_t>(handle, [](std::uint64_t v) { return numberText<20>(v); });
    case NativeType::kDouble:
      return readAs<double>(handle, [](double v) { return numberText<24>(v); });
    case NativeType::kString:
    case NativeType::kText:
    case NativeType::kPath:
    case NativeType::kName:
    case NativeType::kJson:
      return readAs<std::string>(handle, [](std::string& v) { return std::move(v); });
    case NativeType::kTimePoint:
      return readAs<utils::chrono::TimePoint>(handle, [](utils::chrono::TimePoint v) {
        StaticNumberText<46> text;
        text.assignFormatted([v](char* buffer, std::size_t capacity) {
          return utils::chrono::formatIsoDateTime(buffer, capacity, v);
        });
        return std::string(text.view());
      });
    case NativeType::kUuid:
      return readAs<utils::core::Uuid>(handle, [](const utils::core::Uuid& v) { return v.toString(); });
    case NativeType::kQuality:
      return readAs<data::Quality>(handle,
                                   [](data::Quality v) { return std::string(data::toBasicString(v)); });
    case NativeType::kCategory:
      return readAs<model::ElementCategory>(
          handle, [](model::ElementCategory v) { return std::string(model::toBasicString(v)); });
    case NativeType::kErrorCode:
      return readAs<std::error_code>(handle, [](const std::error_code& v) { return v.message(); });
    default:
      return std::nullopt;
  }
}

}  // namespace ormanta::plugins::TulService
