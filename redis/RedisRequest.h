#pragma once

// RESP request bytes, made by hiredis' redisFormatCommandArgv. Not thread-safe; each
// RedisConnection owns its formatter and batch and uses them on its own thread.

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "redis/HiredisCompat.h"
#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

struct HiFreeDeleter {
  void operator()(char* memory) const noexcept { hi_free(memory); }
};

// One request as hiredis formatted it; the bytes are released with hi_free.
struct FormattedRequest {
  std::unique_ptr<char, HiFreeDeleter> bytes;
  std::size_t size = 0;

  std::string_view view() const noexcept { return {bytes.get(), size}; }
};

// Turns argument lists into requests. Keeps the pointer and length arrays that hiredis wants
// between calls, so that a batch of thousands of requests allocates them once.
class RequestFormatter {
 public:
  // Throws RedisError kRefused "failed to format a Redis command" when hiredis refuses.
  FormattedRequest format(const RedisArgs& args);

 private:
  std::vector<const char*> pointers_;
  std::vector<std::size_t> lengths_;
};

// The requests of one pipelined call back to back in one buffer, so that the socket takes
// them in one write and the server sees them all before the first reply is awaited.
class RequestBatch {
 public:
  static constexpr std::size_t kKeyIndex = 1;

  void append(const FormattedRequest& request) { buffer_.append(request.view()); }
  void appendArgs(const RedisArgs& args) { append(formatter_.format(args)); }
  // One request per record: head (the command and the arguments before the fields, with a
  // placeholder at kKeyIndex for the key), the record's key in place, then its fields and
  // values.
  void appendRecords(std::span<const std::string_view> head, const std::vector<RedisRecord>& records);
  void appendRecord(std::span<const std::string_view> head, const RedisRecord& record);
  // head with value.key in place, then "value" and value.text.
  void appendStreamValue(std::span<const std::string_view> head, const StreamValue& value);
  std::size_t size() const noexcept { return buffer_.size(); }

  std::string_view bytes() const noexcept { return buffer_; }
  bool empty() const noexcept { return buffer_.empty(); }
  // Keeps the buffer's storage for the next batch while batches fill a fair part of it: one
  // large batch (a peer's 1 MiB value) must not pin its size for the connection's life.
  void clear() noexcept;

 private:
  static constexpr std::size_t kRetainedCapacity = 4 * 1024 * 1024;
  static constexpr std::size_t kSmallCapacity = 64 * 1024;  // always kept

  RequestFormatter formatter_;
  RedisArgs args_;
  std::string buffer_;
};

}  // namespace ormanta::plugins::TulService
