#include "redis/RedisRequest.h"

#include <climits>
#include <stdexcept>

#include "redis/RedisErrors.h"

namespace ormanta::plugins::TulService {

namespace {

[[noreturn]] void throwFormatError() {
  throw RedisError(RedisError::Kind::kRefused, "failed to format a Redis command");
}

// hiredis 0.14 sums the request length in an int; refuse what would overflow it.
constexpr std::size_t kMaxRequestBytes = INT_MAX / 2;

}  // namespace

FormattedRequest RequestFormatter::format(const RedisArgs& args) {
  if (args.size() > static_cast<std::size_t>(INT_MAX)) throwFormatError();
  pointers_.clear();
  lengths_.clear();
  std::size_t total = 0;
  for (const std::string_view arg : args) {
    pointers_.push_back(arg.data());
    lengths_.push_back(arg.size());
    total += arg.size();
  }
  if (total > kMaxRequestBytes) throwFormatError();

  char* bytes = nullptr;
  const int size =
      redisFormatCommandArgv(&bytes, static_cast<int>(args.size()), pointers_.data(), lengths_.data());
  FormattedRequest request{std::unique_ptr<char, HiFreeDeleter>(bytes), 0};
  if (size < 0) throwFormatError();
  request.size = static_cast<std::size_t>(size);
  return request;
}

void RequestBatch::appendRecords(std::span<const std::string_view> head,
                                 const std::vector<RedisRecord>& records) {
  for (const RedisRecord& record : records) appendRecord(head, record);
}

void RequestBatch::appendRecord(std::span<const std::string_view> head, const RedisRecord& record) {
  args_.assign(head.begin(), head.end());
  args_[kKeyIndex] = record.key;
  for (const auto& [field, value] : record.fields) {
    args_.emplace_back(field);
    args_.emplace_back(value);
  }
  append(formatter_.format(args_));
}

void RequestBatch::appendStreamValue(std::span<const std::string_view> head, const StreamValue& value) {
  args_.assign(head.begin(), head.end());
  args_[kKeyIndex] = value.key;
  args_.emplace_back("value");
  args_.emplace_back(value.text);
  append(formatter_.format(args_));
}

void RequestBatch::clear() noexcept {
  // Only a clear after a batch sees its size; a clear of an empty buffer keeps the storage.
  const std::size_t used = buffer_.size();
  const std::size_t capacity = buffer_.capacity();
  if (capacity > kRetainedCapacity || (capacity > kSmallCapacity && used != 0 && used < capacity / 4)) {
    std::string().swap(buffer_);
  } else {
    buffer_.clear();
  }
}

}  // namespace ormanta::plugins::TulService
