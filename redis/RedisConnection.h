#pragma once

// RedisConnection: one connection to the Redis server, hiredis' reply reader and request
// formatter over a Transport (plain TCP or TLS), and the Redis commands the service uses.
//
// Threads: a connection belongs to the thread that made it, for one connection attempt; every
// member function, the destructor included, runs on that thread. The one cross-thread
// influence is the StopSource given to connect(): another thread may call requestStop() on it
// at any time, which makes the connect, a reply wait or a write in progress (or the next one)
// throw RedisError kStopped. After any exception the reply stream may be out of step
// (pipelined replies may be pending): the owner destroys the object and builds a new one;
// nothing is repaired in place. Error replies that a call reports without throwing (xaddEach,
// xaddValues) leave it in step.
//
// Errors: every failure is a RedisError (redis/RedisErrors.h); kReply carries the server's
// text unchanged.
//
// Push replies: hiredis 0.14's reader does not know the RESP3 push type ('>'); it reports a
// protocol error, which tryGetReply() turns into "corrupted Redis reply received". The
// server sends pushes only to RESP3 clients, and this client never sends HELLO 3, so the
// push-dropping paths below only come into play with a hiredis that parses RESP3.
//
// Security: with ConnectionSecurity::tls every byte goes through a TlsTransport. connect()
// authenticates before it returns (AUTH when a password is set); the password is kept in this
// object's copy of the settings and put in no text.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ormanta/utils/io/StopSource.h"
#include "redis/ConnectionSecurity.h"
#include "redis/RedisAccess.h"
#include "redis/RedisErrors.h"
#include "redis/RedisRequest.h"
#include "redis/RedisTypes.h"
#include "redis/Transport.h"

namespace ormanta::plugins::TulService {

class RedisConnection : public RedisAccess {
 public:
  static constexpr std::uint16_t kDefaultPort = 6379;
  // What every worker allows a connection attempt: the TCP connect, TLS and AUTH together.
  static constexpr std::uint64_t kConnectTimeoutSeconds = 3;

  // Not connected yet; address is host text as the host socket takes it ("name",
  // "name:port", "[::1]:port", ...), with 6379 when it names no port.
  explicit RedisConnection(std::string_view address, ConnectionSecurity security = {});
  // Already connected over transport (a test's scripted one, say); connect() is not called.
  explicit RedisConnection(std::unique_ptr<Transport> transport);
  ~RedisConnection() override;
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;
  RedisConnection(RedisConnection&&) = delete;
  RedisConnection& operator=(RedisConnection&&) = delete;

  // Connects within timeoutSeconds, or throws RedisError: kConnect "failed to connect to the
  // Redis database" (with the reason in detail()), kStopped with the same text when stopSource
  // is requested meanwhile; stopSource must outlive this object. Within the same time it does
  // the TLS handshake (when configured) and sends AUTH (when a password is set); with TLS and
  // no password a PING proves that the server accepted the handshake. Their failures: the
  // server's error reply (kReply), "TLS handshake failed: <reason>" (kTls), a file that cannot
  // be read (kRefused).
  void connect(utils::io::StopSource& stopSource, std::uint64_t timeoutSeconds);
  // The same within a timeout finer than seconds (a sentinel is given less than the server).
  void connect(utils::io::StopSource& stopSource, std::chrono::milliseconds timeout);

  // Formats one request and writes it whole; reads nothing, so requests may be pipelined.
  void sendCommand(const RedisArgs& args);
  // One complete reply from the bytes fed so far, or null; throws kProtocol "corrupted Redis
  // reply received" on a protocol error.
  RedisReplyPtr tryGetReply();
  // The next non-push reply; throws kTimeout "timeout exceeded while waiting for a Redis reply"
  // when it is not complete within timeout.
  RedisReplyPtr waitForReply(std::chrono::milliseconds timeout);
  // The same, but null when timeout passes: on a subscribed connection, where messages come
  // unasked, a quiet time is no failure and the connection stays in step.
  RedisReplyPtr waitForMessage(std::chrono::milliseconds timeout);

  // ---- commands (bounded replies wait replyTimeoutSeconds() each) ----

  // One request and its reply, error replies included: for the commands that nothing below
  // sends (SENTINEL, SUBSCRIBE).
  RedisReplyPtr command(const RedisArgs& args);
  // ROLE's first word: "master", "slave" or "sentinel"; throws an error reply.
  std::string role();

  // ping, del and hdel throw an error reply (a user without the permission gets "NOPERM ..."),
  // so that a refusal is never taken for success.
  // The reply's text, whatever its other type.
  std::string ping() override;
  // The number of keys removed (0 for a reply that is neither an integer nor an error).
  std::int64_t del(std::vector<std::string> keys) override;
  // The number of fields removed (0 for a reply that is neither an integer nor an error).
  std::int64_t hdel(std::string_view key, const std::vector<std::string>& fields) override;
  // One HSET per record, all written before the first reply is read. Every reply is read
  // (each within the reply time-out); then the first error reply, if any, throws.
  void hset(const std::vector<RedisRecord>& records) override;
  // One "XADD key MAXLEN ~ maxLength * fields..." per record, pipelined like hset.
  void xadd(const std::vector<RedisRecord>& records, std::uint64_t maxLength);
  // xadd's requests, pipelined the same way, but every reply is its record's own outcome: an
  // error reply's text, or nothing for an appended entry. Error replies throw nothing (the
  // connection stays in step); a time-out or a broken reply stream throws as xadd does.
  std::vector<std::optional<std::string>> xaddEach(const std::vector<RedisRecord>& records,
                                                   std::uint64_t maxLength) override;
  // xadd of one "value" field per entry, with nothing to build per value but its text. Every
  // reply is read; the entries the server refused are put into refusals (cleared first, in
  // call order), and nothing throws for them: the connection stays in step.
  void xaddValues(std::span<const StreamValue> values, std::uint64_t maxLength,
                  std::vector<Refusal>& refusals) override;
  // XREAD COUNT count BLOCK blockMs STREAMS streamKey lastId. blockMs must be at least 1 (0
  // would make the server wait without limit); the reply is awaited at most blockMs plus the
  // reply time-out. Empty optional when the block time ran out.
  std::optional<std::vector<StreamEntry>> xread(std::string_view streamKey, std::string_view lastId,
                                                std::int64_t blockMs, std::uint64_t count) override;
  // The server's clock (TIME), in milliseconds since 1970: what stream entry IDs count in.
  std::int64_t serverTimeMs();
  // One server holds every key.
  std::int64_t serverTimeMs(std::string_view) override { return serverTimeMs(); }
  RedisReplyPtr keyCommand(const RedisArgs& args, std::chrono::milliseconds replyWait = {}) override;

  // ---- pipelines of any requests (for a client that spreads them over servers) ----

  // Writes the requests that appendNext adds to the batch, one per call, until it returns false;
  // in chunks, every request before the first reply is read. Then one waitForBoundedReply each.
  template <class AppendNext>
  void writePipelined(AppendNext appendNext) {
    batch_.clear();
    while (appendNext(batch_)) {
      if (batch_.size() >= kWriteChunkBytes) flushBatch();
    }
    flushBatch();
  }
  // The next reply within the reply time-out.
  RedisReplyPtr waitForBoundedReply();
  // XREVRANGE streamKey end start COUNT count: at most count entries from end back to start,
  // both included, newest first.
  std::vector<StreamEntry> xrevrange(std::string_view streamKey, std::string_view end, std::string_view start,
                                     std::uint64_t count) override;
  // One round trip, one transaction: MULTI; "XREAD [COUNT readCount] STREAMS streamKey lastId"
  // (no BLOCK; readCount 0 sends no COUNT); one "XADD streamKey <trim> * fields..." per record;
  // EXEC. The read runs before the appends with nothing in between: with a MAXLEN trim and no
  // COUNT, the trims can only remove entries that were read (or appended) here. Every record
  // must be for streamKey (else std::invalid_argument). All replies are read, then the first
  // error reply throws; replies of the wrong shape (a reply stream out of step) throw kProtocol
  // "unexpected Redis reply to a transaction".
  StreamReadAndAppend xreadThenXadd(std::string_view streamKey, std::string_view lastId,
                                    const std::vector<RedisRecord>& records, const StreamTrim& trim,
                                    std::uint64_t readCount = 0) override;
  // Between requests, when no reply is due: throws when the server has closed the connection
  // (kClosed) or sent a reply nobody asked for (kProtocol "unexpected Redis reply"). Never
  // blocks; bytes that complete no reply (TLS records without plain text) are fine.
  void checkIdle() override;

  const std::string& address() const noexcept { return address_; }
  std::uint64_t replyTimeoutSeconds() const noexcept override { return replyTimeoutSeconds_; }

 private:
  Transport& transport();
  std::chrono::milliseconds replyTimeout() const noexcept;
  // AUTH, or PING to settle a TLS handshake; its reply within the connect deadline.
  void greet(std::chrono::steady_clock::time_point deadline);
  void feed(std::span<const char> bytes);
  // Writes head + record for every record in one write, then awaits one reply per record and
  // throws the first error reply once all are read.
  void pipelineRecords(std::span<const std::string_view> head, const std::vector<RedisRecord>& records);
  // Writes one request per item, appended to the batch by append(batch_, item), in chunks.
  template <class Item, class Append>
  void writeEach(std::span<const Item> items, Append append);
  // The write half of pipelineRecords.
  void writeRecords(std::span<const std::string_view> head, const std::vector<RedisRecord>& records);
  // Reads count replies, then throws the first error reply, if any.
  void awaitReplies(std::size_t count);
  // Reads count replies; each error reply goes into refusals with its position.
  void collectRefusals(std::size_t count, std::vector<Refusal>& refusals);
  // Writes what the batch holds and empties it.
  void flushBatch();
  static constexpr std::size_t kWriteChunkBytes = 64 * 1024;

  // Declared before address_ so that the address is released first, then the reader.
  RedisReaderPtr reader_;
  std::string address_;
  std::uint64_t replyTimeoutSeconds_ = 1;
  // Reused between calls: the data worker sends thousands of requests per call.
  RequestFormatter formatter_;
  RequestBatch batch_;
  ConnectionSecurity security_;
  // Made by connect(); every byte goes through it. Closed by the destructor.
  std::unique_ptr<Transport> transport_;
};

}  // namespace ormanta::plugins::TulService
