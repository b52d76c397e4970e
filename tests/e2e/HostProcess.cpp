#include "HostProcess.h"

#include <atomic>
#include <stdexcept>

#include "ormanta/utils/json/Decoder.h"

namespace tul::test {
namespace {

namespace json = ormanta::utils::json::decoder;
using Clock = std::chrono::steady_clock;

std::string stringOf(const json::Object& object, std::string_view name) {
  std::optional<json::Value> value = object.find(name);
  return value ? std::string(value->asString().view()) : std::string();
}

std::string nextStderrName() {
  static std::atomic<int> counter{0};
  return "stderr-" + std::to_string(++counter) + ".txt";
}

}  // namespace

HostLine parseHostLine(const std::string& text) {
  HostLine line;
  line.text = text;
  const json::Document document = json::Document::parse(text);
  const json::Object root = document.root().asObject();
  line.type = stringOf(root, "type");
  if (line.type == "attributes") {
    line.service = stringOf(root, "service");
    const json::Object attributes = root.find("attributes").value().asObject();
    for (auto cursor = attributes.begin(); cursor != attributes.end(); attributes.step(cursor)) {
      const json::Member member = *cursor;
      const std::string name(member.name());
      switch (member.value().kind()) {
        case json::Kind::kBool:
          line.flags[name] = member.value().asBool();
          break;
        case json::Kind::kString:
          line.texts[name] = std::string(member.value().asString().view());
          break;
        case json::Kind::kObject: {
          const json::Object code = member.value().asObject();
          line.errors[name] = {code.find("value").value().asInt64(), stringOf(code, "category"),
                               stringOf(code, "message")};
          break;
        }
        default:
          throw std::invalid_argument("unexpected attribute value in " + text);
      }
    }
  } else if (line.type == "event") {
    line.service = stringOf(root, "service");
    line.event = stringOf(root, "event");
    line.time = stringOf(root, "time");
  } else if (line.type == "value") {
    line.path = stringOf(root, "path");
    line.value = stringOf(root, "value");
  } else if (line.type == "error") {
    line.message = stringOf(root, "message");
  } else {
    throw std::invalid_argument("unknown line type in " + text);
  }
  return line;
}

std::vector<std::string> hostArgs(const std::filesystem::path& model, const std::vector<std::string>& configs,
                                  const std::vector<std::string>& extraArgs) {
  std::vector<std::string> args = {ORMANTA_HOST, "--plugin", TUL_MODULE, "--model", model.string()};
  for (const std::string& config : configs) {
    args.push_back("--config");
    args.push_back(config);
  }
  args.insert(args.end(), extraArgs.begin(), extraArgs.end());
  return args;
}

HostProcess::HostProcess(const std::filesystem::path& model, const std::vector<std::string>& configs,
                         const TempDirectory& dir, std::vector<std::string> extraArgs)
    : process_(hostArgs(model, configs, extraArgs), dir.path() / nextStderrName()) {}

std::optional<HostLine> HostProcess::waitFor(const std::function<bool(const HostLine&)>& pred,
                                             std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    std::optional<std::string> text = process_.readLine(left);
    if (!text) return std::nullopt;
    history_.push_back(parseHostLine(*text));
    if (pred(history_.back())) return history_.back();
  }
}

std::optional<HostLine> HostProcess::waitForAttributes(const std::string& service,
                                                       const std::function<bool(const HostLine&)>& pred,
                                                       std::chrono::milliseconds timeout) {
  // The service's latest line already read tells its current state.
  for (auto line = history_.rbegin(); line != history_.rend(); ++line) {
    if (line->type != "attributes" || line->service != service) continue;
    if (pred(*line)) return *line;
    break;
  }
  return waitFor(
      [&](const HostLine& line) {
        return line.type == "attributes" && line.service == service && pred(line);
      },
      timeout);
}

bool HostProcess::waitUntilServing(const std::string& service, std::chrono::milliseconds timeout) {
  return waitForAttributes(
             service,
             [](const HostLine& line) { return line.flag("state") && line.flag("isServiceRegistered"); },
             timeout)
      .has_value();
}

std::string HostProcess::read(const std::string& path) {
  send("read " + path);
  std::optional<HostLine> line = waitFor(
      [&](const HostLine& l) { return (l.type == "value" && l.path == path) || l.type == "error"; }, 5s);
  if (!line) return "timeout";
  return line->type == "value" ? line->value : "error: " + line->message;
}

PeerResult runPeer(const std::vector<std::string>& args, const TempDirectory& dir,
                   std::chrono::milliseconds timeout) {
  std::vector<std::string> argv = {TUL_PEER};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess peer(argv, dir.path() / nextStderrName());
  peer.closeStdin();
  PeerResult result;
  const Clock::time_point deadline = Clock::now() + timeout;
  while (std::optional<std::string> line =
             peer.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()))) {
    result.out += *line + "\n";
  }
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  result.status = peer.wait(std::max(left, std::chrono::milliseconds(0))).value_or(-1);
  result.err = peer.stderrText();
  return result;
}

std::string serviceConfig(const std::string& address, const std::string& serviceName) {
  return "{\"address\":\"" + address + "\",\"serviceName\":\"" + serviceName + "\"}";
}

std::string squeezeBlanks(const std::string& text) {
  std::string result;
  for (char c : text) {
    if (c == ' ' && !result.empty() && result.back() == ' ') continue;
    result.push_back(c);
  }
  return result;
}

}  // namespace tul::test
