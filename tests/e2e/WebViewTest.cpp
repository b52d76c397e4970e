// tul-peer web in headless Chromium (tests/e2e/web_view.py with Debian's python3-selenium),
// against ormanta-host with a small model and a private redis-server. The script asks for what
// only this side can do: writes into the runner, and stopping and starting Redis.

#include <gtest/gtest.h>

#include <iostream>

#include "Processes.h"
#include "support/Ports.h"
#include "support/RedisServer.h"

namespace tul::test {
namespace {

const std::string kModel = R"({"elements":[
  {"key":"Boiler","attributes":[
    {"name":"Temp","type":"double","access":"r","value":20.5},
    {"name":"Setpoint","type":"double","access":"b","value":21},
    {"name":"Label","type":"string","access":"r","value":"plain"},
    {"name":"Mode","type":"string","access":"w","value":"auto"}]}]})";

TEST(WebViewTest, ServicesTreeWatchSetAndBannerInARealBrowser) {
  TempDirectory dir;
  RedisServer redis;
  Host host(dir, dir.write("model.json", kModel), {serviceConfig(redis.address(), "S")},
            {"--reconnect-every", "500", "--no-simulate"});
  ASSERT_TRUE(host.waitUntilServing("S"));
  const std::string listen = "127.0.0.1:" + std::to_string(freeLoopbackPort());
  ChildProcess web({TUL_PEER, "--address", redis.address(), "web", "--listen", listen},
                   dir.fresh("web-stderr"));
  const std::optional<std::string> started = web.readLine(10s);
  ASSERT_TRUE(started && started->find("http://" + listen + "/") != std::string::npos) << web.stderrText();

  ChildProcess browser({"/usr/bin/python3", TUL_E2E "/web_view.py", "http://" + listen + "/"},
                       dir.fresh("browser-stderr"));
  std::string last;
  const auto deadline = std::chrono::steady_clock::now() + 150s;
  while (std::optional<std::string> line = browser.readLine(until(deadline))) {
    last = *line;
    host.waitFor([](HostLine&) { return false; }, 0ms);  // its output must not fill the pipe
    if (last.rfind("skip: ", 0) == 0) GTEST_SKIP() << last;
    if (last.rfind("note: ", 0) == 0) std::cout << last << std::endl;
    if (last.rfind("ask ", 0) != 0) continue;
    const std::string request = last.substr(4);
    if (request == "stop-redis") {
      redis.stop();
    } else if (request == "start-redis") {
      redis.start();
    } else {
      host.send(request);
    }
    browser.writeLine("done");
  }
  EXPECT_EQ(last, "ok") << browser.stderrText() << "\ntul-peer web:\n" << web.stderrText();
  EXPECT_EQ(browser.wait(10s), 0);
  EXPECT_EQ(host.read("Boiler.Setpoint"), "22.5") << "the set from the page, and not the bad one";
}

// Beyond loopback only with the token it prints; the page's requests carry it in a cookie.
TEST(WebViewTest, AnotherAddressThanLoopbackNeedsThePrintedToken) {
  TempDirectory dir;
  const std::string port = std::to_string(freeLoopbackPort());
  ChildProcess web({TUL_PEER, "--address", "127.0.0.1:1", "web", "--listen", "0.0.0.0:" + port},
                   dir.fresh("web-stderr"));
  const std::optional<std::string> started = web.readLine(10s);
  ASSERT_TRUE(started) << web.stderrText();
  const std::size_t at = started->find("?token=");
  ASSERT_NE(at, std::string::npos) << *started;
  ChildProcess check({"/usr/bin/python3", TUL_E2E "/web_view.py", "--token", "http://127.0.0.1:" + port + "/",
                      started->substr(at + 7)},
                     dir.fresh("check-stderr"));
  EXPECT_EQ(check.readLine(20s), "ok") << check.stderrText();
}

}  // namespace
}  // namespace tul::test
