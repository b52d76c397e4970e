#include <new>

#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {
namespace {

// hiredis' own reply functions with createArray bounded. Made once, from a default reader's
// table (0.14 does not export it); read-only afterwards.
const redisReplyObjectFunctions& boundedFunctions() {
  static const redisReplyObjectFunctions functions = [] {
    const RedisReaderPtr plain(redisReaderCreate());
    if (!plain) throw std::bad_alloc();
    static const redisReplyObjectFunctions original = *plain->fn;
    redisReplyObjectFunctions bounded = original;
    // The element count's type differs between hiredis versions (int, size_t): deduced.
    bounded.createArray = [](const redisReadTask* task, auto elements) -> void* {
      if (static_cast<long long>(elements) > kMaxReplyElements) return nullptr;  // a protocol error
      return original.createArray(task, elements);
    };
    return bounded;
  }();
  return functions;
}

}  // namespace

RedisReaderPtr makeRedisReader() {
  // hiredis takes the table as non-const but never writes to it.
  RedisReaderPtr reader(
      redisReaderCreateWithFunctions(const_cast<redisReplyObjectFunctions*>(&boundedFunctions())));
  if (!reader) throw std::bad_alloc();
  return reader;
}

}  // namespace ormanta::plugins::TulService
