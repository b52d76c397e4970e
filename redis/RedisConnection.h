#pragma once

// RedisConnection: one TCP connection to the Redis server, hiredis' reply reader and
// request formatter on top of the host socket, and the six commands the service uses.
//
// Threads: a connection belongs to the worker thread that made it, for one connection
// attempt; every member function, the destructor included, runs on that thread. The one
// cross-thread influence is the StopSource given to connect(): another thread may call
// requestStop() on it at any time, which makes the connect, a reply wait or a write in
// progress (or the next one) throw std::system_error(std::errc::operation_canceled). After
// any exception the reply stream is out of step (pipelined replies may be pending): the owner
// destroys the object and builds a new one; nothing is repaired in place.
//
// Push replies: hiredis 0.14's reader does not know the RESP3 push type ('>'); it reports a
// protocol error, which tryGetReply() turns into "corrupted Redis reply received". The
// server sends pushes only to RESP3 clients, and this client never sends HELLO 3, so the
// push-dropping paths below only come into play with a hiredis that parses RESP3.
//
// Security: with ConnectionSecurity::tls every byte goes through a TlsTransport, by way of the
// overrides of write, waitForData and readAvailable below, so that no operation can bypass it.
// connect() authenticates before it returns (AUTH when a password is set); the password is
// kept in this object's copy of the settings and put in no text.

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ormanta/utils/io/StopSource.h"
#include "ormanta/utils/network/SocketDevice.h"
#include "redis/ConnectionSecurity.h"
#include "redis/RedisRequest.h"
#include "redis/RedisTypes.h"

namespace ormanta::plugins::TulService {

class TlsTransport;

class RedisConnection : public utils::network::SocketDevice {
 public:
  static constexpr std::uint16_t kDefaultPort = 6379;
  // What every worker allows a connection attempt: the TCP connect, TLS and AUTH together.
  static constexpr std::uint64_t kConnectTimeoutSeconds = 3;

  // Not connected yet; address is host text as the host socket takes it ("name",
  // "name:port", "[::1]:port", ...), with 6379 when it names no port.
  explicit RedisConnection(std::string_view address, ConnectionSecurity security = {});
  ~RedisConnection() override;
  RedisConnection(const RedisConnection&) = delete;
  RedisConnection& operator=(const RedisConnection&) = delete;
  RedisConnection(RedisConnection&&) = delete;
  RedisConnection& operator=(RedisConnection&&) = delete;

  // Throws std::runtime_error "failed to connect to the Redis database" when the host socket
  // does not connect within timeoutSeconds or stopSource is requested meanwhile. stopSource
  // must outlive this object. Within the same timeoutSeconds it then does the TLS handshake
  // (when configured) and sends AUTH (when a password is set); with TLS and no password a
  // PING proves that the server accepted the handshake. Their failures throw
  // std::runtime_error with the server's error text, "TLS handshake failed: <reason>" or the
  // path of a file that cannot be read.
  void connect(utils::io::StopSource& stopSource, std::uint64_t timeoutSeconds);

  // Formats one request and writes it whole; reads nothing, so requests may be pipelined.
  void sendCommand(const RedisArgs& args);
  // One complete reply from the bytes fed so far, or null; throws "corrupted Redis reply
  // received" on a protocol error.
  RedisReplyPtr tryGetReply();
  // The next non-push reply; throws "timeout exceeded while waiting for a Redis reply" when
  // it is not complete within timeout.
  RedisReplyPtr waitForReply(std::chrono::milliseconds timeout);
  // As waitForReply, without deadline: ends with a reply, a socket error (the server closed
  // the connection) or the stop source's cancellation.
  RedisReplyPtr waitForReplyUnbounded();

  // ---- commands (bounded replies wait replyTimeoutSeconds() each) ----

  // ping, del and hdel throw an error reply's text (a user without the permission gets
  // "NOPERM ..."), so that a refusal is never taken for success.
  // The reply's text, whatever its other type.
  std::string ping();
  // The number of keys removed (0 for a reply that is neither an integer nor an error).
  std::int64_t del(std::vector<std::string> keys);
  // The number of fields removed (0 for a reply that is neither an integer nor an error).
  std::int64_t hdel(std::string_view key, const std::vector<std::string>& fields);
  // One HSET per record, all written before the first reply is read. Every reply is read
  // (each within the reply time-out); then the first error reply, if any, throws its text.
  void hset(const std::vector<RedisRecord>& records);
  // One "XADD key MAXLEN ~ maxLength * fields..." per record, pipelined like hset.
  void xadd(const std::vector<RedisRecord>& records, std::uint64_t maxLength);
  // xadd of one "value" field per entry, with nothing to build per value but its text. Every
  // reply is read; the entries the server refused are put into refusals (cleared first, in
  // call order), and nothing throws for them: the connection stays in step.
  void xaddValues(std::span<const StreamValue> values, std::uint64_t maxLength,
                  std::vector<Refusal>& refusals);
  // XREAD [COUNT count] BLOCK blockMs (0, i.e. without limit, when absent) STREAMS streamKey
  // lastId; count 0 sends no COUNT. Empty optional when the block time ran out; throws an
  // error reply's text.
  std::optional<std::vector<StreamEntry>> xread(std::string_view streamKey, std::string_view lastId,
                                                std::optional<std::int64_t> blockMs = std::nullopt,
                                                std::uint64_t count = 0);
  // The server's clock (TIME), in milliseconds since 1970: what stream entry IDs count in.
  std::int64_t serverTimeMs();
  // XREVRANGE streamKey end start COUNT count: at most count entries from end back to start,
  // both included, newest first.
  std::vector<StreamEntry> xrevrange(std::string_view streamKey, std::string_view end, std::string_view start,
                                     std::uint64_t count);
  // Between requests, when no reply is due: throws when the server has closed the connection
  // (the socket's error) or sent a reply nobody asked for ("unexpected Redis reply"). Never
  // blocks; bytes that complete no reply (TLS records without plain text) are fine.
  void checkIdle();
  // One round trip, one transaction: MULTI; "XREAD [COUNT readCount] STREAMS streamKey lastId"
  // (no BLOCK); one "XADD streamKey <trim> * fields..." per record; EXEC. The read runs before
  // the appends with nothing in between: with a MAXLEN trim and no COUNT, the trims can only
  // remove entries that were read (or appended) here. Every record must be for streamKey (else
  // std::invalid_argument). All replies are read, then the first error reply throws its text;
  // replies of the wrong shape (a reply stream out of step) throw "unexpected Redis reply to a
  // transaction".
  // xadd's requests, pipelined the same way, but every reply is its record's own outcome: an
  // error reply's text, or nothing for an appended entry. Error replies throw nothing (the
  // connection stays in step); a time-out or a broken reply stream throws as xadd does.
  std::vector<std::optional<std::string>> xaddEach(const std::vector<RedisRecord>& records,
                                                   std::uint64_t maxLength);
  StreamReadAndAppend xreadThenXadd(std::string_view streamKey, std::string_view lastId,
                                    const std::vector<RedisRecord>& records, const StreamTrim& trim,
                                    std::uint64_t readCount = 0);

  // utils::io devices: through TLS when the connection uses it, else the socket's own.
  void write(const void* data, std::size_t size) override;
  bool waitForData(std::chrono::nanoseconds timeout) override;
  void waitForData() override;
  utils::io::ReadResult readAvailable() override;

  const std::string& address() const noexcept { return address_; }
  std::uint64_t replyTimeoutSeconds() const noexcept { return replyTimeoutSeconds_; }

 private:
  struct ReaderDeleter {
    void operator()(redisReader* reader) const noexcept { redisReaderFree(reader); }
  };

  std::chrono::milliseconds replyTimeout() const noexcept;
  RedisReplyPtr waitForBoundedReply();
  // AUTH, or PING to settle a TLS handshake; its reply within the connect deadline.
  void greet(std::chrono::steady_clock::time_point deadline);
  void feed(std::span<const char> bytes);
  // Writes head + record for every record in one write, then awaits one reply per record and
  // throws the first error reply's text once all are read.
  void pipelineRecords(std::span<const std::string_view> head, const std::vector<RedisRecord>& records);
  // Writes one request per item, appended to the batch by append(batch_, item), in chunks.
  template <class Item, class Append>
  void writeEach(std::span<const Item> items, Append append);
  // The write half of pipelineRecords.
  void writeRecords(std::span<const std::string_view> head, const std::vector<RedisRecord>& records);
  // Reads count replies, then throws the first error reply's text, if any.
  void awaitReplies(std::size_t count);
  // Reads count replies; each error reply goes into refusals with its position.
  void collectRefusals(std::size_t count, std::vector<Refusal>& refusals);
  // Writes what the batch holds and empties it.
  void flushBatch();
  static constexpr std::size_t kWriteChunkBytes = 64 * 1024;

  // Declared before address_ so that the address is released first, then the reader.
  std::unique_ptr<redisReader, ReaderDeleter> reader_;
  std::string address_;
  std::uint64_t replyTimeoutSeconds_ = 1;
  // Reused between calls: the data worker sends thousands of requests per call.
  RequestFormatter formatter_;
  RequestBatch batch_;
  ConnectionSecurity security_;
  // Made by connect() when security_.tls is set; refers to this object's socket base.
  std::unique_ptr<TlsTransport> tls_;
};

}  // namespace ormanta::plugins::TulService
