#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <future>
#include <string>
#include <thread>

#include "ormanta/utils/network/SocketDevice.h"
#include "support/Errors.h"
#include "support/LoopbackPeer.h"
#include "support/Ports.h"

namespace {

using namespace std::chrono_literals;
using tul::test::systemErrorOf;
using ormanta::utils::io::StopSource;
using ormanta::utils::network::SocketDevice;
using PortOption = ormanta::utils::network::detail::PortOption;
using tul::test::LoopbackListener;
using tul::test::UniqueFd;
using Clock = std::chrono::steady_clock;

constexpr int kTcp = 6;

PortOption portOption(std::uint32_t selector, int port = 0) {
  return PortOption{selector, static_cast<std::uint16_t>(port)};
}

SocketDevice connect(std::string_view host, PortOption port, StopSource* stop = nullptr,
                     std::optional<std::chrono::nanoseconds> timeout = 3s, int family = 0,
                     int protocol = kTcp) {
  return SocketDevice::connectedSocketInternal(host, port, family, protocol, timeout, stop);
}

std::string withPort(std::string_view host, int port) {
  return std::string(host) + ":" + std::to_string(port);
}

std::string textOf(const ormanta::utils::io::ReadResult& result) {
  return std::string(result.bytes.data(), result.bytes.size());
}

// Reads what the socket receives within timeout, until count bytes are there.
std::string readUpTo(SocketDevice& socket, std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::string bytes;
  while (bytes.size() < count && Clock::now() < deadline) {
    if (!socket.waitForData(deadline - Clock::now())) break;
    bytes += textOf(socket.readAvailable());
  }
  return bytes;
}

std::chrono::milliseconds since(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}


// A connected client socket with its accepted peer descriptor.
class ConnectedSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    client = connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), &stop);
    ASSERT_TRUE(client) << client.connectError();
    peer = listener.accept(2s);
    ASSERT_TRUE(peer);
  }

  LoopbackListener listener;
  StopSource stop;
  SocketDevice client;
  UniqueFd peer;
};

// ---- connecting: host text and port options ----

TEST(SocketDeviceConnect, ConnectsToAddressWithPortAndExchangesBytes) {
  LoopbackListener listener;
  SocketDevice socket = connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone));
  ASSERT_TRUE(socket) << socket.connectError();
  EXPECT_TRUE(socket.connectError().empty());
  UniqueFd peer = listener.accept(2s);
  ASSERT_TRUE(peer);

  socket.write("hello", 5);
  EXPECT_EQ(tul::test::receiveUpTo(peer.get(), 5, 2s), "hello");
  ASSERT_TRUE(tul::test::sendAll(peer.get(), "world"));
  EXPECT_EQ(readUpTo(socket, 5, 2s), "world");
}

TEST(SocketDeviceConnect, AcceptsEveryHostTextFormForIPv4) {
  LoopbackListener listener;
  const int port = listener.port();
  const int otherPort = tul::test::freeLoopbackPort();
  struct Case {
    std::string host;
    PortOption option;
  };
  const Case cases[] = {
      {withPort("127.0.0.1", port), portOption(PortOption::kNone)},
      {withPort("127.0.0.1", port), portOption(PortOption::kDefault, otherPort)},  // the text's port wins
      {"127.0.0.1", portOption(PortOption::kDefault, port)},
      {withPort("127.0.0.1", otherPort), portOption(PortOption::kForced, port)},  // the forced port wins
      {withPort("localhost", port), portOption(PortOption::kNone)},
      {"localhost", portOption(PortOption::kDefault, port)},
      {"", portOption(PortOption::kDefault, port)},  // empty host: the local machine
      {withPort("", port), portOption(PortOption::kNone)},
  };
  for (const Case& c : cases) {
    SocketDevice socket = connect(c.host, c.option);
    EXPECT_TRUE(socket) << "\"" << c.host << "\" selector " << c.option.selector << ": "
                        << socket.connectError();
    EXPECT_TRUE(listener.accept(2s)) << c.host;
  }
}

TEST(SocketDeviceConnect, RejectsBadHostTextAndOptionsWithAReason) {
  LoopbackListener listener;
  const int port = listener.port();
  struct Case {
    std::string host;
    PortOption option;
    int protocol;
  };
  const Case cases[] = {
      {"127.0.0.1", portOption(PortOption::kNone), kTcp},  // no port anywhere
      {"127.0.0.1:http", portOption(PortOption::kDefault, port), kTcp},
      {"127.0.0.1:70000", portOption(PortOption::kDefault, port), kTcp},
      {"127.0.0.1:0", portOption(PortOption::kDefault, port), kTcp},
      {"127.0.0.1:", portOption(PortOption::kDefault, port), kTcp},
      {"[::1", portOption(PortOption::kDefault, port), kTcp},
      {"[]:" + std::to_string(port), portOption(PortOption::kNone), kTcp},
      {"[::1]x", portOption(PortOption::kDefault, port), kTcp},
      {"127.0.0.1", portOption(7, port), kTcp},
      {"127.0.0.1", portOption(PortOption::kDefault, 0), kTcp},
      {withPort("127.0.0.1", port), portOption(PortOption::kNone), 17},  // UDP
  };
  for (const Case& c : cases) {
    SocketDevice socket = connect(c.host, c.option, nullptr, 2s, 0, c.protocol);
    EXPECT_FALSE(socket) << c.host;
    EXPECT_FALSE(socket.connectError().empty()) << c.host;
  }
  EXPECT_FALSE(listener.accept(50ms)) << "no connection may have been made";
}

TEST(SocketDeviceConnect, AddressFamilyRestrictsTheAddressesTried) {
  LoopbackListener listener;
  SocketDevice socket =
      connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), nullptr, 2s, AF_INET6);
  EXPECT_FALSE(socket);
  EXPECT_FALSE(socket.connectError().empty());
  SocketDevice v4 =
      connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), nullptr, 2s, AF_INET);
  EXPECT_TRUE(v4) << v4.connectError();
}

TEST(SocketDeviceConnect, AcceptsIPv6Literals) {
  if (!tul::test::ipv6LoopbackAvailable()) GTEST_SKIP() << "no ::1 on this machine";
  LoopbackListener listener(AF_INET6);
  const int port = listener.port();
  struct Case {
    std::string host;
    PortOption option;
  };
  const Case cases[] = {
      {"[::1]:" + std::to_string(port), portOption(PortOption::kNone)},
      {"[::1]", portOption(PortOption::kDefault, port)},
      {"::1", portOption(PortOption::kDefault, port)},  // bare literal: the colons are not a port
      {"0:0:0:0:0:0:0:1", portOption(PortOption::kForced, port)},
  };
  for (const Case& c : cases) {
    SocketDevice socket = connect(c.host, c.option);
    EXPECT_TRUE(socket) << c.host << ": " << socket.connectError();
    EXPECT_TRUE(listener.accept(2s)) << c.host;
  }
  EXPECT_FALSE(connect("::1", portOption(PortOption::kNone))) << "a bare literal cannot carry a port";
}

// ---- connecting: failures and time limits ----

TEST(SocketDeviceConnect, RefusedPortFailsFast) {
  const int port = tul::test::freeLoopbackPort();
  const auto start = Clock::now();
  SocketDevice socket = connect(withPort("127.0.0.1", port), portOption(PortOption::kNone), nullptr, 5s);
  EXPECT_FALSE(socket);
  EXPECT_LT(since(start), 2s);
  EXPECT_NE(socket.connectError().find("refused"), std::string::npos) << socket.connectError();
}

TEST(SocketDeviceConnect, UnknownNameFailsWithinTheTimeout) {
  const auto start = Clock::now();
  SocketDevice socket = connect("no-such-host.invalid:6379", portOption(PortOption::kNone), nullptr, 2s);
  EXPECT_FALSE(socket);
  EXPECT_FALSE(socket.connectError().empty());
  EXPECT_LT(since(start), 4s);
}

TEST(SocketDeviceConnect, TimesOutWhenTheHandshakeHangs) {
  LoopbackListener listener(AF_INET, 0);
  listener.fillBacklog();
  const auto start = Clock::now();
  SocketDevice socket =
      connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), nullptr, 300ms);
  const auto elapsed = since(start);
  EXPECT_FALSE(socket);
  EXPECT_GE(elapsed, 250ms);
  EXPECT_LT(elapsed, 2s);
  EXPECT_NE(socket.connectError().find("timed out"), std::string::npos) << socket.connectError();
}

TEST(SocketDeviceConnect, StopDuringConnectEndsItPromptly) {
  LoopbackListener listener(AF_INET, 0);
  listener.fillBacklog();
  StopSource stop;
  Clock::time_point requestedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    requestedAt = Clock::now();
    stop.requestStop();
  });
  const auto start = Clock::now();
  SocketDevice socket =
      connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), &stop, 30s);
  const auto end = Clock::now();
  stopper.join();
  EXPECT_FALSE(socket);
  EXPECT_GE(end - start, 90ms);
  EXPECT_LT(end - requestedAt, 500ms);
  EXPECT_NE(socket.connectError().find("stop"), std::string::npos) << socket.connectError();
}

TEST(SocketDeviceConnect, StopRequestedBeforehandFailsAtOnceUntilReset) {
  LoopbackListener listener;
  StopSource stop;
  stop.requestStop();
  EXPECT_FALSE(connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), &stop));
  EXPECT_FALSE(listener.accept(50ms)) << "a stopped connect must not reach the peer";

  stop.reset();
  SocketDevice socket = connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone), &stop);
  EXPECT_TRUE(socket) << socket.connectError();
}

// ---- reading ----

TEST_F(ConnectedSocket, WaitForDataTimesOutWithoutData) {
  const auto start = Clock::now();
  EXPECT_FALSE(client.waitForData(100ms));
  EXPECT_GE(since(start), 90ms);
  EXPECT_FALSE(client.waitForData(0ns));
  EXPECT_FALSE(client.waitForData(-5ms));
}

TEST_F(ConnectedSocket, ReadAvailableWithoutDataReturnsNothingAtOnce) {
  const auto result = client.readAvailable();
  EXPECT_TRUE(result.bytes.empty());
  EXPECT_FALSE(result.moreAvailable);
}

TEST_F(ConnectedSocket, WaitForDataWakesWhenBytesArrive) {
  std::thread sender([&] {
    std::this_thread::sleep_for(50ms);
    tul::test::sendAll(peer.get(), "x");
  });
  const auto start = Clock::now();
  const bool ready = client.waitForData(5s);
  sender.join();
  EXPECT_TRUE(ready);
  EXPECT_LT(since(start), 2s);
  EXPECT_EQ(textOf(client.readAvailable()), "x");
}

TEST_F(ConnectedSocket, PartialReadsDeliverEachByteOnce) {
  ASSERT_TRUE(tul::test::sendAll(peer.get(), "abc"));
  EXPECT_EQ(readUpTo(client, 3, 2s), "abc");
  EXPECT_TRUE(client.readAvailable().bytes.empty());
  ASSERT_TRUE(tul::test::sendAll(peer.get(), "defgh"));
  EXPECT_EQ(readUpTo(client, 5, 2s), "defgh");
}

TEST_F(ConnectedSocket, LargeInputArrivesInBufferSizedChunks) {
  std::string sent(200'000, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>('a' + i % 26);
  std::thread sender([&] { tul::test::sendAll(peer.get(), sent); });
  std::string received;
  bool sawFullChunk = false;
  const auto deadline = Clock::now() + 10s;
  while (received.size() < sent.size() && Clock::now() < deadline) {
    if (!client.waitForData(1s)) continue;
    const auto result = client.readAvailable();
    ASSERT_LE(result.bytes.size(), SocketDevice::kReadBufferSize);
    if (result.bytes.size() == SocketDevice::kReadBufferSize)
      sawFullChunk = sawFullChunk || result.moreAvailable;
    received += textOf(result);
  }
  sender.join();
  EXPECT_EQ(received, sent);
  if (!sawFullChunk) GTEST_LOG_(INFO) << "no read filled the whole buffer (timing)";
}

TEST_F(ConnectedSocket, PeerCloseEndsWaitsAndMakesReadThrow) {
  peer.reset();
  const auto start = Clock::now();
  client.waitForData();  // unbounded, yet it must return: the close makes the socket readable
  EXPECT_TRUE(client.waitForData(5s));
  EXPECT_LT(since(start), 1s);
  try {
    client.readAvailable();
    FAIL() << "readAvailable must throw after the peer closed";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code(), std::make_error_code(std::errc::connection_reset));
    EXPECT_NE(std::string(error.what()).find("connection closed by the peer"), std::string::npos)
        << error.what();
  }
}

TEST_F(ConnectedSocket, BytesSentBeforeThePeerClosedAreReadFirst) {
  ASSERT_TRUE(tul::test::sendAll(peer.get(), "tail"));
  peer.reset();
  ASSERT_TRUE(client.waitForData(2s));
  EXPECT_EQ(textOf(client.readAvailable()), "tail");
  EXPECT_EQ(systemErrorOf([&] { client.readAvailable(); }), std::errc::connection_reset);
}

TEST_F(ConnectedSocket, StopEndsAnUnboundedWait) {
  Clock::time_point requestedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    requestedAt = Clock::now();
    stop.requestStop();
  });
  const auto error = systemErrorOf([&] { client.waitForData(); });
  const auto end = Clock::now();
  stopper.join();
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_LT(end - requestedAt, 500ms);
}

TEST_F(ConnectedSocket, StopEndsABoundedWait) {
  std::thread stopper([&] {
    std::this_thread::sleep_for(100ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  const auto error = systemErrorOf([&] { client.waitForData(20s); });
  stopper.join();
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_LT(since(start), 2s);
}

TEST_F(ConnectedSocket, StopBeforeAWaitFailsItAtOnceUntilReset) {
  ASSERT_TRUE(tul::test::sendAll(peer.get(), "pending"));
  stop.requestStop();
  EXPECT_EQ(systemErrorOf([&] { client.waitForData(5s); }), std::errc::operation_canceled)
      << "a stop wins even over pending data";
  EXPECT_EQ(systemErrorOf([&] { client.waitForData(); }), std::errc::operation_canceled);
  EXPECT_EQ(systemErrorOf([&] { client.write("x", 1); }), std::errc::operation_canceled);

  stop.reset();
  EXPECT_TRUE(client.waitForData(2s));
  EXPECT_EQ(readUpTo(client, 7, 2s), "pending");
}

// ---- writing ----

TEST_F(ConnectedSocket, WriteOfSeveralMebibytesCompletes) {
  std::string sent(8 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7919 % 251);
  auto received =
      std::async(std::launch::async, [&] { return tul::test::receiveUpTo(peer.get(), sent.size(), 30s); });
  client.write(sent.data(), sent.size());
  EXPECT_TRUE(received.get() == sent);
}

TEST_F(ConnectedSocket, StopEndsAWriteBlockedByAPeerThatDoesNotRead) {
  const std::string big(64 * 1024 * 1024, 'z');
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    stop.requestStop();
  });
  const auto start = Clock::now();
  const auto error = systemErrorOf([&] { client.write(big.data(), big.size()); });
  stopper.join();
  EXPECT_EQ(error, std::errc::operation_canceled);
  EXPECT_LT(since(start), 5s);
}

TEST_F(ConnectedSocket, WriteToAClosedPeerThrowsInsteadOfRaisingSigpipe) {
  peer.reset();
  std::error_code error;
  const std::string chunk(64 * 1024, 'q');
  const auto deadline = Clock::now() + 5s;
  while (!error && Clock::now() < deadline) {
    error = systemErrorOf([&] { client.write(chunk.data(), chunk.size()); });
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_TRUE(error);
  EXPECT_NE(error, std::errc::operation_canceled);
}

// ---- lifetime ----

TEST(SocketDeviceLifetime, UnconnectedSocketTestsFalseAndRefusesIo) {
  SocketDevice socket;
  EXPECT_FALSE(socket);
  EXPECT_TRUE(socket.connectError().empty());
  EXPECT_EQ(systemErrorOf([&] { socket.waitForData(0ns); }), std::errc::not_connected);
  EXPECT_EQ(systemErrorOf([&] { socket.waitForData(); }), std::errc::not_connected);
  EXPECT_EQ(systemErrorOf([&] { socket.readAvailable(); }), std::errc::not_connected);
  EXPECT_EQ(systemErrorOf([&] { socket.write("x", 1); }), std::errc::not_connected);
  socket.close();
  EXPECT_FALSE(socket);
}

TEST_F(ConnectedSocket, CloseIsIdempotentAndThePeerSeesIt) {
  client.close();
  client.close();
  EXPECT_FALSE(client);
  EXPECT_EQ(tul::test::receiveUpTo(peer.get(), 1, 2s), "");
  EXPECT_EQ(systemErrorOf([&] { client.readAvailable(); }), std::errc::not_connected);
}

TEST_F(ConnectedSocket, MoveTransfersTheConnection) {
  SocketDevice moved(std::move(client));
  EXPECT_FALSE(client);  // NOLINT(bugprone-use-after-move): the moved-from state is the point
  ASSERT_TRUE(moved);
  moved.write("m", 1);
  EXPECT_EQ(tul::test::receiveUpTo(peer.get(), 1, 2s), "m");

  // Assigning over a connected socket closes the old connection.
  SocketDevice other = connect(withPort("127.0.0.1", listener.port()), portOption(PortOption::kNone));
  ASSERT_TRUE(other);
  UniqueFd otherPeer = listener.accept(2s);
  ASSERT_TRUE(otherPeer);
  moved = std::move(other);
  EXPECT_EQ(tul::test::receiveUpTo(peer.get(), 1, 2s), "") << "the first connection must be closed";
  moved.write("n", 1);
  EXPECT_EQ(tul::test::receiveUpTo(otherPeer.get(), 1, 2s), "n");
}

TEST_F(ConnectedSocket, DestructionClosesTheConnection) {
  { SocketDevice gone(std::move(client)); }
  EXPECT_EQ(tul::test::receiveUpTo(peer.get(), 1, 2s), "");
}

}  // namespace
