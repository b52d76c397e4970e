// The fault proxy itself, with raw clients in front of a real redis-server: each fault does what
// it says to the links it targets and to no other, and the proxy leaves no thread or socket.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <string>

#include "support/FaultProxy.h"
#include "support/RedisServer.h"
#include "support/Wait.h"

namespace {

using namespace std::chrono_literals;
using namespace tul::test;

std::string request(std::initializer_list<std::string> args) {
  std::string bytes = "*" + std::to_string(args.size()) + "\r\n";
  for (const std::string& arg : args) bytes += "$" + std::to_string(arg.size()) + "\r\n" + arg + "\r\n";
  return bytes;
}

// A raw client; connect() reports errno instead of throwing.
struct Client {
  int connect(int port) {
    fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return ::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  }
  // Sends the request and returns what comes back within timeout (up to expected bytes).
  std::string call(const std::string& bytes, std::size_t expected, std::chrono::milliseconds timeout = 2s) {
    if (!sendAll(fd.get(), bytes)) return "(send failed)";
    return receiveUpTo(fd.get(), expected, timeout);
  }
  UniqueFd fd;
};

long openDescriptors() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

const std::string kPing = request({"PING"});
const std::string kPong = "+PONG\r\n";

TEST(FaultProxy, ClassifiesLinksAndHitsOnlyTheTargetedOnes) {
  RedisServer server;
  const long descriptors = openDescriptors();
  {
    FaultProxy proxy(server.port());
    Client data, command, registration;
    ASSERT_EQ(data.connect(proxy.port()), 0);
    ASSERT_EQ(command.connect(proxy.port()), 0);
    ASSERT_EQ(registration.connect(proxy.port()), 0);
    EXPECT_EQ(data.call(kPing, 7), kPong);
    EXPECT_EQ(command.call(request({"XREVRANGE", "S.Commands", "+", "-", "COUNT", "1"}), 4), "*0\r\n");
    EXPECT_EQ(registration.call(request({"HDEL", "Services", "S"}), 4), ":0\r\n");
    EXPECT_EQ(proxy.accepted(LinkKind::kData), 1);
    EXPECT_EQ(proxy.accepted(LinkKind::kCommand), 1);
    EXPECT_EQ(proxy.accepted(LinkKind::kRegistration), 1);

    // Blocked in XREAD: seen as awaiting; garbage lands in front of its reply.
    ASSERT_TRUE(sendAll(command.fd.get(), request({"XREAD", "BLOCK", "0", "STREAMS", "S.Commands", "$"})));
    ASSERT_TRUE(waitUntil([&] { return proxy.awaiting(LinkKind::kCommand, "XREAD"); }, 2s));
    EXPECT_EQ(proxy.inject(kinds(LinkKind::kCommand), Fault::garbage("?x\r\n")), 1);
    EXPECT_EQ(receiveUpTo(command.fd.get(), 4, 2s), "?x\r\n");

    // A stall delays but loses nothing; it hits the data link only.
    proxy.inject(kinds(LinkKind::kData), Fault::stall(400ms));
    EXPECT_EQ(registration.call(kPing, 7), kPong);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(data.call(kPing + kPing, 14), kPong + kPong);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

    // Half-open: silence in both directions, no close, until resume.
    proxy.inject(kinds(LinkKind::kData), Fault::halfOpen());
    EXPECT_EQ(data.call(request({"SET", "k", "v"}), 5, 300ms), "");
    EXPECT_EQ(registration.call(request({"GET", "k"}), 5), "$-1\r\n");  // not delivered
    proxy.resume();
    EXPECT_EQ(receiveUpTo(data.fd.get(), 5, 2s), "+OK\r\n");

    // Cut closes the targeted links only.
    EXPECT_EQ(proxy.inject(LinkKind::kData | LinkKind::kRegistration, Fault::cut()), 2);
    EXPECT_EQ(data.call(kPing, 7), "");
    EXPECT_EQ(registration.call(kPing, 7), "");
    EXPECT_EQ(proxy.open(LinkKind::kCommand), 1);
  }
  EXPECT_EQ(openDescriptors(), descriptors);  // every socket and the wake descriptor are closed
}

TEST(FaultProxy, ArmedFaultHitsRightAfterTheNthRequestAndNothingBehindItIsForwarded) {
  RedisServer server;
  FaultProxy proxy(server.port());
  Client writer, other;
  ASSERT_EQ(writer.connect(proxy.port()), 0);
  ASSERT_EQ(other.connect(proxy.port()), 0);
  EXPECT_EQ(other.call(kPing, 7), kPong);  // a data link, which the fault leaves alone
  proxy.arm(LinkKind::kRegistration, "hset h", 3, Fault::cut());
  std::string batch = request({"HDEL", "Services", "S"});
  for (int i = 0; i < 5; ++i) batch += request({"HSET", "h", std::to_string(i), "v"});
  // Two replies reach the client before the close: HDEL's and at most the first HSETs'.
  const std::string replies = writer.call(batch, 100, 2s);
  ASSERT_TRUE(proxy.waitFired(2s));
  EXPECT_LE(replies.size(), 16u) << replies;
  EXPECT_EQ(other.call(kPing, 7), kPong);
  Client check;
  ASSERT_EQ(check.connect(proxy.port()), 0);
  EXPECT_EQ(check.call(request({"HLEN", "h"}), 4), ":3\r\n");  // the server got exactly three
}

}  // namespace
