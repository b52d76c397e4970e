// Hostile input through a real server: a peer floods the command stream with 10,000 entries,
// valid ones among malformed ones, and the server itself refuses the service's writes
// (maxmemory with noeviction, an ACL). The service element runs in the test process, so that
// the bytes it holds can be counted, before the flood and once its leases have expired.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ormanta/host/Host.h"
#include "support/CommandPeer.h"
#include "support/LiveService.h"

// Every C++ allocation of the process, the service's included, goes through these, so that
// the bytes in use are known exactly: malloc's own figures also count the free chunks that
// each thread keeps cached, which would hide a small leak.
namespace {

std::atomic<long long> liveBytes{0};

void* allocate(std::size_t size, std::align_val_t align = {}) noexcept {
  const auto alignment = static_cast<std::size_t>(align);
  size = std::max<std::size_t>(size, 1);
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p != nullptr) liveBytes += static_cast<long long>(malloc_usable_size(p));
  return p;
}

void* allocateOrThrow(std::size_t size, std::align_val_t align = {}) {
  if (void* p = allocate(size, align)) return p;
  throw std::bad_alloc();
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  liveBytes -= static_cast<long long>(malloc_usable_size(p));
  std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return allocateOrThrow(n); }
void* operator new[](std::size_t n) { return allocateOrThrow(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocateOrThrow(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocateOrThrow(n, a); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate(n); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate(n, a);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

namespace tul::test {
namespace {

using namespace std::chrono_literals;
using ormanta::data::NativeType;
using Fields = RedisClient::Fields;
using namespace std::string_literals;

std::size_t heapInUse() { return static_cast<std::size_t>(liveBytes.load()); }

// What an entry must get back: no response, or one response with this result whose
// errorMessage starts with message.
struct Expected {
  enum Result { kNone, kSuccess, kError } result;
  std::string message;
  std::string entry = {};  // the entry's fields, shortened, for failure messages
};

struct Entry {
  Fields fields;
  Expected expected;
  bool secondPeer = false;  // sent by the other peer
};

const std::string kOdd = "S.x{}:*$.V";  // a member whose path holds format and glob characters
const std::vector<std::string> kMembers = {"S.Boiler.Temp",  "S.Boiler.Count", "S.Boiler.On",
                                           "S.Boiler.Label", "S.Boiler.Small", kOdd};

// The fields as name=value pairs, other than printable ASCII escaped, cut at 100 bytes.
std::string describe(const Fields& fields) {
  std::string text;
  for (const auto& [name, value] : fields) {
    for (const char c : name + "=" + value.substr(0, 40) + " ") {
      text +=
          c >= ' ' && c <= '~' ? std::string(1, c) : fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
    }
  }
  return text.substr(0, 100);
}

Expected ok() { return {Expected::kSuccess, ""}; }
Expected error(std::string message) { return {Expected::kError, std::move(message)}; }
Expected none() { return {Expected::kNone, ""}; }
std::string noChannel(const std::string& name) {
  return "'set' command failed. No channel " + name + " exists.";
}

Fields set(const std::string& name, const std::string& value) {
  return {{"cmd", "set"}, {"name", name}, {"value", value}};
}
Fields subscribe(const std::string& id, const std::string& interval, const std::vector<std::string>& names) {
  Fields fields = {{"cmd", "subscribe"}, {"subscriptionId", id}, {"samplingInterval", interval}};
  for (const std::string& name : names) fields.emplace_back("name", name);
  return fields;
}

// The i-th ordinary entry: every kind of malformed entry in turn, with valid ones between.
Entry ordinaryEntry(int i) {
  const std::string n = std::to_string(i);
  const Expected unknown = error("unknown command type received");
  const Expected badSubscribe = error("invalid subscribe command received");
  const Entry kinds[] = {
      {set("S.Boiler.Temp", n + ".5"), ok()},
      {{{"cmd", "set"}, {"name", "S.Boiler.Count"}, {"name", kOdd}, {"value", n}, {"value", "-1e3"}}, ok()},
      {subscribe("peer" + std::to_string(i % 7), "100", {"S.Boiler.Temp", kOdd}), ok()},
      // Missing fields.
      {{{"cmd", "set"}, {"name", "S.Boiler.Temp"}},
       error("Invalid set command received. \"value\" field missing")},
      {{{"cmd", "set"}, {"value", "1"}}, error("Invalid set command received. \"name\" field missing")},
      {{{"cmd", "set"}, {"name", "S.Boiler.Temp"}, {"name", "S.Boiler.Count"}, {"value", "1"}},
       error("Invalid set command received. \"name\" and \"value\" fields have different sizes")},
      {{{"cmd", "subscribe"}, {"samplingInterval", "1"}, {"name", "S.Boiler.Temp"}}, badSubscribe},
      {{{"cmd", "subscribe"}, {"subscriptionId", "x"}}, badSubscribe},
      // Unknown, mixed-case, binary "cmd"; no "cmd"; "command".
      {{{"cmd", "SET"}, {"name", "S.Boiler.Temp"}, {"value", "1"}}, unknown},
      {{{"cmd", "Subscribe"}, {"subscriptionId", "x"}, {"samplingInterval", "1"}}, unknown},
      {{{"cmd", ""}}, unknown},
      {{{"cmd", "set\0x"s}, {"name", "S.Boiler.Temp"}, {"value", "2"}}, unknown},
      {{{"cmd", "\xff\xfe\x01"}, {"cmd", "set"}}, unknown},
      {{{"name", "S.Boiler.Temp"}, {"value", "3"}}, none()},
      {{{"cmd", "command"}, {"name", "S.Boiler.Temp"}}, none()},
      // Zero and binary bytes in names and values.
      {set("S.Boiler.Temp\0x"s, "4"), error(noChannel("S.Boiler.Temp\0x"s))},
      {set("S.Boiler.Label", "a\0b\xff\x80"s + n), ok()},
      {set("S.Boiler.Temp", "12abc"),
       error("'set' command failed. Value '12abc' cannot be converted for S.Boiler.Temp.")},
      {set("S.Boiler.Small", "70000"), error("Error writing to a Ormanta data point: ")},
      // Odd sampling intervals.
      {subscribe("odd" + n, "-5", {"S.Boiler.Count"}), ok()},
      {subscribe("odd" + n, "99999999999999999999", {"S.Boiler.Count"}), ok()},
      {subscribe("odd" + n, "-2147483648", {"S.Boiler.On"}), ok()},
      {subscribe("odd" + n, "ten", {"S.Boiler.On"}), ok()},
      // Names that do not exist, are no members, or hold control and pattern characters.
      {set("S.Nothing.X", "1"), error(noChannel("S.Nothing.X"))},
      {set("S.Boiler", "1"), error(noChannel("S.Boiler"))},
      {set("S.Boiler.*", "1"), error(noChannel("S.Boiler.*"))},
      {set("S.{}.$:\r\n\t\x7f", "1"), error(noChannel("S.{}.$:\r\n\t\x7f"))},
      {subscribe("ghost" + n, "0",
                 {"S.Nothing.X", "S.Boiler", "*", "S.Boiler.T*", "{}", "$", ":", "\x01\x1b[2J"}),
       ok()},
      // One subscription ID used by two peers.
      {subscribe("shared", "50", {"S.Boiler.Temp"}), ok()},
      {subscribe("shared", "70", {"S.Boiler.Count", "S.Boiler.Label"}), ok(), true},
  };
  return kinds[static_cast<std::size_t>(i) % std::size(kinds)];
}

// The heavy entries, a few of each in the flood.
Entry heavyEntry(int round) {
  const std::string mebibyte(1 << 20, static_cast<char>('a' + round % 26));
  switch (round % 4) {
    case 0:
      return {set("S.Boiler.Label", mebibyte), ok()};
    case 1:  // quoted peer input is cut, so the error is small
      return {set("S.Boiler.Temp", mebibyte), error("'set' command failed. Value '")};
    case 2:
      return {set(mebibyte, "1"), error("'set' command failed. No channel ")};
    default: {  // a new set of 100,000 names each time: a renewal replaces them all
      std::vector<std::string> names = {"S.Boiler.Temp"};
      for (int i = 0; i < 100'000; ++i)
        names.push_back("S.Boiler.N" + std::to_string(round) + "-" + std::to_string(i));
      return {subscribe("many", "10", names), ok()};
    }
  }
}

class HostileInputTest : public LiveServiceTest {
 protected:
  // A window's commands and responses stay far below the trim length.
  static constexpr std::size_t kWindow = 20;

  void SetUp() override {
    const auto rw = ormanta::model::kAccessReadWrite;
    harness.model().addElement({"Boiler",
                                "",
                                {},
                                {{"Temp", NativeType::kDouble},
                                 {"Count", NativeType::kInt},
                                 {"On", NativeType::kBool},
                                 {"Label", NativeType::kString},
                                 {"Small", NativeType::kInt, rw, 16}}});
    harness.model().addElement({"x{}:*$", "", {}, {{"V", NativeType::kDouble}}});
  }

  struct Flood {
    std::map<std::string, Expected> sent;  // entry ID -> expectation
    std::map<std::string, std::vector<std::map<std::string, std::string>>> responses;  // by responseId
    std::string lastRead = "0-0";
  };

  // Reads the command stream until every entry of ids that needs a response has one.
  bool collect(Flood& flood, const std::vector<std::string>& ids, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&] {
          for (const auto& entry : peer->xrange("S.Commands", "(" + flood.lastRead)) {
            flood.lastRead = entry.id;
            std::map<std::string, std::string> fields(entry.fields.begin(), entry.fields.end());
            if (fields.contains("responseId"))
              flood.responses[fields["responseId"]].push_back(std::move(fields));
          }
          return std::all_of(ids.begin(), ids.end(), [&](const std::string& id) {
            return flood.sent[id].result == Expected::kNone || flood.responses.contains(id);
          });
        },
        timeout, 2ms);
  }

  // Sends count entries in windows, waiting for each window's responses, then one that sets
  // Label to a text of its own: when that is answered, everything before it has been handled.
  // (The text is too long for a short-string buffer, so the model's string lets go of the
  // storage of an earlier 1 MiB value instead of keeping its capacity.)
  void send(Flood& flood, int count, const std::function<Entry(int)>& entryAt) {
    std::vector<std::string> window;
    for (int i = 0; i <= count; ++i) {
      const Entry entry =
          i < count
              ? entryAt(i)
              : Entry{set("S.Boiler.Label", "all " + std::to_string(count) + " entries were sent"), ok()};
      window.push_back((entry.secondPeer ? *otherPeer : *peer).xadd("S.Commands", entry.fields));
      flood.sent[window.back()] = entry.expected;
      flood.sent[window.back()].entry = describe(entry.fields);
      if (window.size() == kWindow || i == count) {
        ASSERT_TRUE(collect(flood, window, 10s)) << "entries up to #" << i << " were not all answered";
        window.clear();
      }
    }
  }

  std::unique_ptr<RedisClient> otherPeer;
};

TEST_F(HostileInputTest, TenThousandEntriesAreEachAnsweredOnceAsTheyDeserveAndLeaveNoKeyOrMemoryBehind) {
  constexpr int kEntries = 10'000;
  constexpr int kHeavyEvery = 625;                                     // 16 heavy entries: four of each
  start("S", [](Service& s) { s.commandHandler()->maxWaitMs = 1000; });  // leases of 1 s
  otherPeer = std::make_unique<RedisClient>(server);
  const auto commandConnection = service->commandHandler()->state.timestamp();
  const auto leasesEnded = [&] { return waitUntil([&] { return service->channels().names().empty(); }, 5s); };

  // The level is taken after each ordinary kind of entry has come once.
  Flood warmUp;
  ASSERT_NO_FATAL_FAILURE(send(warmUp, 30, ordinaryEntry));
  ASSERT_TRUE(leasesEnded());
  const std::string warmedUpTo = warmUp.lastRead;
  warmUp = {};
  const std::size_t heapBefore = heapInUse();

  {
    Flood flood;
    flood.lastRead = warmedUpTo;
    ASSERT_NO_FATAL_FAILURE(send(flood, kEntries, [](int i) {
      return i % kHeavyEvery == kHeavyEvery / 2 ? heavyEntry(i / kHeavyEvery) : ordinaryEntry(i);
    }));
    // Failures by kind: how many entries, and the first of them.
    std::map<std::string, std::pair<int, std::string>> failures;
    const auto fail = [&](const std::string& kind, const std::string& entry) {
      auto& [count, example] = failures[kind];
      if (count++ == 0) example = entry;
    };
    for (const auto& [id, expected] : flood.sent) {
      const auto& responses = flood.responses[id];
      if (expected.result == Expected::kNone) {
        if (!responses.empty()) fail("answered, though it needs no answer", expected.entry);
      } else if (responses.size() != 1) {
        fail("answered " + std::to_string(responses.size()) + " times", expected.entry);
      } else {
        const auto& response = responses.front();
        const std::string result = expected.result == Expected::kSuccess ? "success" : "error";
        const std::string message = response.contains("errorMessage") ? response.at("errorMessage") : "";
        if (response.at("result") != result) {
          fail("\"" + response.at("result") + "\" instead of \"" + result + " " +
                   expected.message.substr(0, 60) + "\"",
               expected.entry);
        } else if (expected.result == Expected::kError && (!message.starts_with(expected.message) ||
                                                           message.size() > expected.message.size() + 300)) {
          fail("a message of " + std::to_string(message.size()) + " bytes, expected \"" +
                   expected.message.substr(0, 80) + "...\"",
               describe({{"errorMessage", message}}));
        }
      }
    }
    for (const auto& [id, responses] : flood.responses) {
      if (!flood.sent.contains(id)) fail("a response to no entry", id);
    }
    for (const auto& [kind, failure] : failures) {
      ADD_FAILURE() << failure.first << " entries " << kind << ", the first: " << failure.second;
    }
  }
  EXPECT_EQ(service->commandHandler()->state.timestamp(), commandConnection)
      << "no entry cost the command connection";
  EXPECT_TRUE(flagAttribute(*service, Attr::kState));

  // Values went out under the paths of real members only.
  std::set<std::string> allowed = {"Services", "S.DataPoints", "S.DataTypes", "S.Commands", "S.Status"};
  for (const std::string& member : kMembers) allowed.insert("SValue:" + member);
  const ReplyPtr keys = peer->command({"KEYS", "*"});
  for (std::size_t i = 0; i < keys->elements; ++i) {
    const std::string key(keys->element[i]->str, keys->element[i]->len);
    EXPECT_TRUE(allowed.contains(key)) << "unexpected key " << key;
  }
  EXPECT_FALSE(CommandPeer(*peer, "S").values(kOdd).empty());

  ASSERT_TRUE(leasesEnded());
  const std::size_t heapAfter = heapInUse();
  RecordProperty("heap_growth_bytes", std::to_string(static_cast<long long>(heapAfter - heapBefore)));
  EXPECT_LT(static_cast<long long>(heapAfter) - static_cast<long long>(heapBefore), 128 * 1024)
      << heapBefore << " bytes in use before the flood, " << heapAfter << " after its leases ended";
}

// Every command the server saw since the last CONFIG RESETSTAT, refused ones included, apart
// from the test's own INFO and CONFIG.
long long serverCommands(RedisClient& client) {
  long long total = 0;
  for (const auto& [name, count] : client.commandStats()) {
    if (name != "info" && !name.starts_with("config")) total += count;  // "config|resetstat"
  }
  return total;
}

TEST_F(HostileInputTest, ServerRefusalsShowTheServersTextSpinNothingAndAreRecoveredFromByTheReconnectTask) {
  using Args = std::vector<std::string>;
  const Args kFull = {"CONFIG", "SET", "maxmemory", "1"}, kRoomy = {"CONFIG", "SET", "maxmemory", "0"};
  const Args kHset = {"HSET", "probe", "f", "v"}, kXadd = {"XADD", "probe", "*", "f", "v"};
  const auto acl = [](const char* rule) { return Args{"ACL", "SETUSER", "default", rule}; };
  const struct {
    const char* what;
    Args refuse, allow;
    Args probe;    // a command the server now refuses as it refuses the service's
    Attr shownIn;  // the attribute that shows the server's text
    bool atStart;  // refused from the start, else once the service is up and publishing
  } cases[] = {
      // The data connection's status key is the first write refused: it ends the data connection.
      {"maxmemory noeviction from the start", kFull, kRoomy, kHset, Attr::kDataConnectionError, true},
      {"maxmemory noeviction: XADD of a value", kFull, kRoomy, kXadd, Attr::kDataConnectionError, false},
      {"ACL without HSET", acl("-hset"), acl("+hset"), kHset, Attr::kServiceRegistrationError, true},
      {"ACL without XADD", acl("-xadd"), acl("+xadd"), kXadd, Attr::kDataConnectionError, false},
      // Fails every command connection at once: the retries must back off.
      {"ACL without XREAD",
       acl("-xread"),
       acl("+xread"),
       {"XREAD", "STREAMS", "probe", "0"},
       Attr::kCommandConnectionError,
       true},
  };
  RedisClient admin(server);
  admin.str({"CONFIG", "SET", "maxmemory-policy", "noeviction"});
  const auto until = [&](Attr which, bool value) { return waitFor(which, value, 8s); };
  const auto peerGetsValue = [&](double value) {
    CommandPeer commands(admin, "S");
    const std::string id = commands.subscribe("p", {"S.Boiler.Temp"});
    if (commands.response(id) != success(id)) return false;
    harness.model().setValue("Boiler", "Temp", value);
    return commands.lastValueIs("S.Boiler.Temp", fmt::format("{}", value));
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    admin.flushAll();
    if (c.atStart) admin.str(c.refuse);
    start("S", {}, false);
    // A data connection refused from the start may fail before it is seen up.
    if (c.shownIn != Attr::kDataConnectionError || !c.atStart) {
      ASSERT_TRUE(until(Attr::kDataConnectionState, true));
    }
    if (!c.atStart) {
      ASSERT_TRUE(until(Attr::kState, true));
      ASSERT_TRUE(until(Attr::kIsServiceRegistered, true));
      ASSERT_TRUE(peerGetsValue(1.5));
      admin.str(c.refuse);
      harness.model().setValue("Boiler", "Temp", 2.5);
    }
    const ReplyPtr refusal = admin.command(c.probe);
    ASSERT_EQ(refusal->type, REDIS_REPLY_ERROR);
    const std::string serverText(refusal->str, refusal->len);
    EXPECT_TRUE(waitUntil([&] { return errorAttribute(*service, c.shownIn).message() == serverText; }, 5s))
        << errorAttribute(*service, c.shownIn).message() << " instead of " << serverText;
    // A refused registration leaves both connections up; a refused connection is not.
    EXPECT_TRUE(waitFor(Attr::kState, c.shownIn == Attr::kServiceRegistrationError));
    // The registration worker publishes "pending" once woken by the failure.
    if (c.shownIn != Attr::kCommandConnectionError) {
      EXPECT_TRUE(until(Attr::kIsServiceRegistered, false));
    }

    // A few retries with pauses are fine; a loop without pause sends thousands.
    admin.str({"CONFIG", "RESETSTAT"});
    std::this_thread::sleep_for(3s);
    EXPECT_LT(serverCommands(admin), 30) << "the service keeps sending to a server that refuses it";

    admin.str(c.allow);
    ormanta::host::runTask(service->reconnectTask());
    EXPECT_TRUE(until(Attr::kIsServiceRegistered, true));
    EXPECT_TRUE(until(Attr::kState, true));
    EXPECT_TRUE(peerGetsValue(3.5));
    service->cleanup();
  }
}

}  // namespace
}  // namespace tul::test
