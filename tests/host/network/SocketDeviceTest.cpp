#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <functional>
#include <future>
#include <string>
#include <thread>

#include "ormanta/utils/network/SocketDevice.h"
#include "support/Errors.h"
#include "support/LoopbackPeer.h"
#include "support/Ports.h"

namespace {

using namespace std::chrono_literals;
using namespace tul::test;
using ormanta::utils::io::StopSource;
using ormanta::utils::network::SocketDevice;
using PortOption = ormanta::utils::network::detail::PortOption;
using Clock = std::chrono::steady_clock;

constexpr PortOption kNoPort{PortOption::kNone, 0};
PortOption byDefault(int port) { return {PortOption::kDefault, static_cast<std::uint16_t>(port)}; }
PortOption forced(int port) { return {PortOption::kForced, static_cast<std::uint16_t>(port)}; }

SocketDevice connect(std::string_view host, PortOption port = kNoPort, StopSource* stop = nullptr,
                     std::chrono::nanoseconds timeout = 3s, int family = 0, int protocol = 6 /* TCP */) {
  return SocketDevice::connectedSocketInternal(host, port, family, protocol, timeout, stop);
}

std::string at(std::string_view host, int port) { return std::string(host) + ":" + std::to_string(port); }

// What the socket receives within 10 s, until count bytes are there; no read may exceed the buffer.
std::string readUpTo(SocketDevice& socket, std::size_t count) {
  const auto deadline = Clock::now() + 10s;
  std::string bytes;
  while (bytes.size() < count && socket.waitForData(deadline - Clock::now())) {
    const auto result = socket.readAvailable();
    EXPECT_LE(result.bytes.size(), SocketDevice::kReadBufferSize);
    bytes.append(result.bytes.data(), result.bytes.size());
  }
  return bytes;
}

// True when the far end sees the connection closed within 2 s.
bool seesClose(const UniqueFd& fd) {
  pollfd ready{fd.get(), POLLIN, 0};
  char byte;
  return fd && ::poll(&ready, 1, 2000) == 1 && ::recv(fd.get(), &byte, 1, 0) == 0;
}

// Runs call while another thread requests a stop 100 ms in; true when call ended within 500 ms
// after the request (and not before it).
template <class Call>
bool endsPromptlyOnStop(StopSource& stop, Call call) {
  Clock::time_point requestedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    requestedAt = Clock::now();
    stop.requestStop();
  });
  call();
  const auto end = Clock::now();
  stopper.join();
  return end > requestedAt && end - requestedAt < 500ms;
}

class ConnectedSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    client = connect(at("127.0.0.1", listener.port()), kNoPort, &stop);
    peer = listener.accept(2s);
    ASSERT_TRUE(client && peer) << client.connectError();
  }

  LoopbackListener listener;
  StopSource stop;
  SocketDevice client;
  UniqueFd peer;
};

TEST(SocketDeviceConnect, HostTextMayCarryItsPortUnlessOneIsForced) {
  const auto expectReached = [](LoopbackListener& listener, const std::string& host, PortOption port) {
    SocketDevice socket = connect(host, port);
    EXPECT_TRUE(socket && listener.accept(2s)) << '"' << host << "\": " << socket.connectError();
  };
  LoopbackListener v4;
  const int other = freeLoopbackPort();
  expectReached(v4, at("127.0.0.1", v4.port()), byDefault(other));
  expectReached(v4, "127.0.0.1", byDefault(v4.port()));
  expectReached(v4, at("127.0.0.1", other), forced(v4.port()));
  expectReached(v4, at("localhost", v4.port()), kNoPort);
  if (!ipv6LoopbackAvailable()) GTEST_SKIP() << "no ::1 on this machine";
  LoopbackListener v6(AF_INET6);
  expectReached(v6, at("[::1]", v6.port()), kNoPort);
  for (const char* host : {"[::1]", "::1", "0:0:0:0:0:0:0:1"}) expectReached(v6, host, byDefault(v6.port()));
}

TEST(SocketDeviceConnect, BadHostTextOrOptionsFailWithAReason) {
  LoopbackListener listener;
  const int port = listener.port();
  const auto expectFailure = [](const SocketDevice& socket, std::string_view what) {
    EXPECT_TRUE(!socket && !socket.connectError().empty()) << what;
  };
  for (const char* host : {"127.0.0.1:http", "127.0.0.1:70000", "[::1", "[::1]x", "no-such-host.invalid"})
    expectFailure(connect(host, byDefault(port)), host);
  expectFailure(connect("127.0.0.1"), "no port anywhere");
  expectFailure(connect("::1"), "a bare IPv6 literal cannot carry a port");
  expectFailure(connect("127.0.0.1", byDefault(0)), "port 0");
  expectFailure(connect("127.0.0.1", {7, static_cast<std::uint16_t>(port)}), "unknown port selector");
  expectFailure(connect(at("127.0.0.1", port), kNoPort, nullptr, 2s, AF_INET6),
                "family excludes the address");
  expectFailure(connect(at("127.0.0.1", port), kNoPort, nullptr, 2s, 0, 17), "UDP");
  EXPECT_FALSE(listener.accept(50ms)) << "no connection may have been made";
}

TEST_F(ConnectedSocket, PartialReadsDeliverEachByteOnceAndWritesSendAll) {
  const auto start = Clock::now();
  EXPECT_FALSE(client.waitForData(100ms));
  EXPECT_GE(Clock::now() - start, 90ms);
  EXPECT_FALSE(client.waitForData(0ns) || client.waitForData(-5ms));
  EXPECT_TRUE(client.readAvailable().bytes.empty()) << "a read without data returns at once";

  std::string sent(200'000, '\0');  // several read buffers, arriving while the client waits
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  std::thread sender([&] { sendAll(peer.get(), sent); });
  EXPECT_TRUE(readUpTo(client, sent.size()) == sent);
  sender.join();

  std::string big(8 * 1024 * 1024, '\0');  // far more than the kernel buffers
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7919 % 251);
  auto received = std::async(std::launch::async, [&] { return receiveUpTo(peer.get(), big.size(), 30s); });
  client.write(big.data(), big.size());
  EXPECT_TRUE(received.get() == big);
}

TEST_F(ConnectedSocket, PeerCloseIsAnErrorAfterTheLastBytes) {
  ASSERT_TRUE(sendAll(peer.get(), "tail"));
  peer.reset();
  EXPECT_EQ(readUpTo(client, 4), "tail");
  const auto start = Clock::now();
  client.waitForData();  // unbounded, yet it returns: the close makes the socket readable
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(systemErrorOf([&] { client.readAvailable(); }), std::errc::connection_reset);
  EXPECT_NE(messageOf<std::system_error>([&] { client.readAvailable(); }).find("closed by the peer"),
            std::string::npos);

  std::error_code writeError;  // writing to the closed peer fails too, without SIGPIPE
  for (const auto deadline = Clock::now() + 5s; !writeError && Clock::now() < deadline;) {
    writeError = systemErrorOf([&] { client.write("0123456789", 10); });
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(writeError && writeError != std::errc::operation_canceled) << writeError;
}

TEST_F(ConnectedSocket, StopEndsEveryBlockingCallUntilReset) {
  const std::string big(64 * 1024 * 1024, 'z');  // the peer does not read: the write blocks
  const std::function<void()> calls[] = {[&] { client.waitForData(); }, [&] { client.waitForData(20s); },
                                         [&] { client.write(big.data(), big.size()); }};
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    stop.reset();
    std::error_code error;
    EXPECT_TRUE(endsPromptlyOnStop(stop, [&] { error = systemErrorOf(calls[i]); })) << i;
    EXPECT_EQ(error, std::errc::operation_canceled) << i;
  }
  ASSERT_TRUE(sendAll(peer.get(), "pending"));
  EXPECT_TRUE(stop.stopRequested());
  EXPECT_EQ(systemErrorOf([&] { client.waitForData(5s); }), std::errc::operation_canceled)
      << "even with data";
  EXPECT_FALSE(connect(at("127.0.0.1", listener.port()), kNoPort, &stop));
  EXPECT_FALSE(listener.accept(50ms)) << "a stopped connect must not reach the peer";
  stop.reset();
  EXPECT_FALSE(stop.stopRequested());
  EXPECT_EQ(readUpTo(client, 7), "pending");
  EXPECT_TRUE(connect(at("127.0.0.1", listener.port()), kNoPort, &stop));
}

TEST_F(ConnectedSocket, NoCallWaitsForEverOnAPeerThatStoppedAnswering) {
  // A peer that stops reading: the write fails once it has made no progress for 3 s.
  const std::string big(64 * 1024 * 1024, 'z');
  const auto start = Clock::now();
  const std::error_code error = systemErrorOf([&] { client.write(big.data(), big.size()); });
  const auto took = Clock::now() - start;
  EXPECT_EQ(error, std::errc::timed_out);
  EXPECT_GE(took, SocketDevice::kWriteStallLimit);
  EXPECT_LT(took, SocketDevice::kWriteStallLimit + 5s);

  // A peer that vanishes without a word is found by keep-alive probes within 30 s. Waiting that
  // long has no place in a unit test; the socket's settings are what makes it happen.
  const int fd = static_cast<int>(client.nativeHandle());
  const auto option = [fd](int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(::getsockopt(fd, level, name, &value, &length), 0);
    return value;
  };
  EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
  const int limitSeconds = option(IPPROTO_TCP, TCP_KEEPIDLE) +
                           option(IPPROTO_TCP, TCP_KEEPINTVL) * option(IPPROTO_TCP, TCP_KEEPCNT);
  EXPECT_GT(limitSeconds, 0);
  EXPECT_LE(limitSeconds, 30);
}

TEST_F(ConnectedSocket, MoveCloseAndDestructionEndTheConnection) {
  SocketDevice moved(std::move(client));
  moved.write("m", 1);
  EXPECT_EQ(receiveUpTo(peer.get(), 1, 2s), "m");
  moved = connect(at("127.0.0.1", listener.port()));
  EXPECT_TRUE(seesClose(peer)) << "assigning over a connection closes it";
  peer = listener.accept(2s);
  moved.close();
  EXPECT_TRUE(seesClose(peer));
  EXPECT_EQ(systemErrorOf([&] { moved.readAvailable(); }), std::errc::not_connected);
  { SocketDevice gone = connect(at("127.0.0.1", listener.port())); }
  EXPECT_TRUE(seesClose(listener.accept(2s))) << "destruction closes the connection";
}

}  // namespace
