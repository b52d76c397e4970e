#pragma once

// Shared parts of the fuzz targets: an input cursor, a Redis connection whose socket is a
// script that records every request, a model with a member of every native type, and the
// check that ends a run when a property does not hold.
//
// Every target is one LLVMFuzzerTestOneInput. Built by clang with -fsanitize=fuzzer it is a
// libFuzzer program; in every other build ReplayMain.cpp drives it over the committed seeds
// and crash inputs as a test. Single-threaded: the targets start no worker.

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ormanta/host/Model.h"
#include "redis/HiredisCompat.h"
#include "redis/RedisConnection.h"
#include "redis/Transport.h"

namespace tul::fuzz {

namespace TulService = ormanta::plugins::TulService;

// A property that must hold for every input; a failure is a finding, so it aborts like a
// sanitizer would and the fuzzer keeps the input.
inline void check(bool holds, const char* property, std::string_view detail = {}) {
  if (holds) return;
  const std::string shown(detail.substr(0, 2000));
  std::fprintf(stderr, "property violated: %s\n  %s\n", property, shown.c_str());
  std::abort();
}

// Reads the fuzz input front to back; past its end every read gives zeros or empty text.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto value = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return value;
  }
  std::uint64_t u64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
    return value;
  }
  // Up to the next '\n' (not included), or the rest.
  std::string_view line() {
    const std::size_t end = std::min(rest_.find('\n'), rest_.size());
    const std::string_view text = rest_.substr(0, end);
    rest_.remove_prefix(std::min(end + 1, rest_.size()));
    return text;
  }
  std::string_view rest() const noexcept { return rest_; }
  bool empty() const noexcept { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// The transport of a RecordingConnection: it plays the server. Each request written is
// recorded as its arguments and, when answerRequests is set, answered as a Redis server that
// accepts everything would answer it (MULTI/EXEC included); the request numbered failRequest is
// answered with an error instead (inside a transaction: a queueing error, after which EXEC
// aborts). Bytes given to script() are handed out as they are. Reads hand out at most chunk
// bytes at a time. With no byte left, a wait or a read sees the peer's close.
class RecordingServer final : public TulService::Transport {
 public:
  using Request = std::vector<std::string>;

  void script(std::string_view bytes) { pending_.append(bytes); }

  std::vector<Request> requests;
  bool answerRequests = true;
  std::size_t failRequest = std::numeric_limits<std::size_t>::max();
  std::size_t chunk = std::numeric_limits<std::size_t>::max();

  void write(const void* data, std::size_t size) override {
    redisReaderFeed(requestReader_.get(), static_cast<const char*>(data), size);
    for (;;) {
      void* raw = nullptr;
      check(redisReaderGetReply(requestReader_.get(), &raw) == REDIS_OK, "a request is well-formed RESP");
      if (raw == nullptr) break;
      const std::unique_ptr<redisReply, decltype(&freeReplyObject)> request(static_cast<redisReply*>(raw),
                                                                            &freeReplyObject);
      check(request->type == REDIS_REPLY_ARRAY && request->elements > 0, "a request is a non-empty array");
      Request args;
      for (std::size_t i = 0; i < request->elements; ++i) {
        const redisReply* arg = request->element[i];
        check(arg->type == REDIS_REPLY_STRING, "every request argument is a bulk string");
        args.emplace_back(arg->str, arg->len);
      }
      requests.push_back(args);
      if (answerRequests) pending_ += answer(args, requests.size() - 1 == failRequest);
    }
  }

  // Past the script's end the peer has closed: a real socket turns readable and the read fails.
  bool waitForData(std::chrono::nanoseconds) override {
    if (offset_ >= pending_.size()) throw closed();
    return true;
  }

  void waitForData() override {
    if (offset_ >= pending_.size()) throw closed();
  }

  std::span<const char> readAvailable() override {
    if (offset_ >= pending_.size()) throw closed();
    const std::size_t size = std::min(chunk == 0 ? 1 : chunk, pending_.size() - offset_);
    current_.assign(pending_, offset_, size);
    offset_ += size;
    return current_;
  }

  void close() noexcept override {}

  std::size_t unread() const noexcept { return pending_.size() - offset_; }

 private:
  static TulService::RedisError closed() {
    return TulService::RedisError(TulService::RedisError::Kind::kClosed,
                                  std::make_error_code(std::errc::connection_reset));
  }

  static std::string bulk(std::string_view text) {
    return "$" + std::to_string(text.size()) + "\r\n" + std::string(text) + "\r\n";
  }

  std::string result(const std::string& name) {
    if (name == "XADD") return bulk("1-" + std::to_string(++lastId_));
    if (name == "XREAD") return "*-1\r\n";  // nothing new on the stream
    if (name == "XREVRANGE") return "*0\r\n";
    if (name == "PING") return "+PONG\r\n";
    if (name == "DEL" || name == "HDEL") return ":0\r\n";
    if (name == "HSET") return ":1\r\n";
    return "+OK\r\n";
  }

  std::string answer(const Request& args, bool fail) {
    std::string name = args.front();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::toupper(c); });
    static const std::string kFault = "-ERR injected fault\r\n";
    if (name == "MULTI") {
      inMulti_ = true;
      aborted_ = false;
      queued_.clear();
      return fail ? kFault : "+OK\r\n";
    }
    if (name == "EXEC") {
      inMulti_ = false;
      if (fail) return kFault;
      if (aborted_) return "-EXECABORT Transaction discarded because of previous errors.\r\n";
      std::string reply = "*" + std::to_string(queued_.size()) + "\r\n";
      for (const std::string& queued : queued_) reply += queued;
      return reply;
    }
    if (inMulti_) {
      if (fail) {
        aborted_ = true;
        return kFault;
      }
      queued_.push_back(result(name));
      return "+QUEUED\r\n";
    }
    return fail ? kFault : result(name);
  }

  std::unique_ptr<redisReader, decltype(&redisReaderFree)> requestReader_{redisReaderCreate(),
                                                                          &redisReaderFree};
  std::string pending_;
  std::size_t offset_ = 0;
  std::string current_;
  bool inMulti_ = false;
  bool aborted_ = false;
  std::vector<std::string> queued_;
  std::uint64_t lastId_ = 0;
};

// A RedisConnection over a RecordingServer.
class RecordingConnection final : public TulService::RedisConnection {
 public:
  RecordingConnection() : RecordingConnection(new RecordingServer) {}

  RecordingServer& server;  // owned by the connection

 private:
  explicit RecordingConnection(RecordingServer* made)
      : RedisConnection(std::unique_ptr<TulService::Transport>(made)), server(*made) {}
};

// One member of every native type (and of every bit size), all writable, plus a read-only
// one; the element's primary key is "Plant".
struct FuzzMember {
  const char* name;
  ormanta::data::NativeType type;
  std::int32_t bitSize;
  std::int32_t access;
};

inline const std::vector<FuzzMember>& fuzzMembers() {
  using ormanta::data::NativeType;
  constexpr std::int32_t rw = ormanta::model::kAccessReadWrite;
  static const std::vector<FuzzMember> members = {
      {"Bool", NativeType::kBool, 8, rw},
      {"Int8", NativeType::kInt, 8, rw},
      {"Int16", NativeType::kInt, 16, rw},
      {"Int32", NativeType::kInt, 32, rw},
      {"Int64", NativeType::kInt, 64, rw},
      {"UInt8", NativeType::kUInt, 8, rw},
      {"UInt16", NativeType::kUInt, 16, rw},
      {"UInt32", NativeType::kUInt, 32, rw},
      {"UInt64", NativeType::kUInt, 64, rw},
      {"Float", NativeType::kDouble, 32, rw},
      {"Double", NativeType::kDouble, 64, rw},
      {"String", NativeType::kString, 64, rw},
      {"Text", NativeType::kText, 64, rw},
      {"Path", NativeType::kPath, 64, rw},
      {"Name", NativeType::kName, 64, rw},
      {"Json", NativeType::kJson, 64, rw},
      {"Time", NativeType::kTimePoint, 64, rw},
      {"Uuid", NativeType::kUuid, 64, rw},
      {"Quality", NativeType::kQuality, 64, rw},
      {"Category", NativeType::kCategory, 64, rw},
      {"Fault", NativeType::kErrorCode, 64, rw},
      {"Binary", NativeType::kBinary, 64, rw},
      {"Structure", NativeType::kStructure, 64, rw},
      {"ReadOnly", NativeType::kInt, 64, ormanta::model::kAccessRead},
  };
  return members;
}

inline void addFuzzElement(ormanta::host::Model& model) {
  ormanta::host::ElementSpec element("Plant");
  for (const FuzzMember& member : fuzzMembers()) {
    element.attributes.emplace_back(member.name, member.type, member.access, member.bitSize);
  }
  model.addElement(element);
}

}  // namespace tul::fuzz
