#include "host/CommandLine.h"

#include <charconv>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "host/ModelFile.h"

namespace ormanta::apps {
namespace {

// The option's value: "--name=value" or the next argument.
std::string optionValue(const std::vector<std::string>& arguments, std::size_t& i, const std::string& name,
                        const std::string& inlineValue, bool hasInline) {
  if (hasInline) return inlineValue;
  if (i + 1 >= arguments.size()) throw std::invalid_argument("option " + name + " needs a value");
  return arguments[++i];
}

std::chrono::milliseconds parseMilliseconds(const std::string& name, const std::string& text) {
  long long ms = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, ms);
  if (text.empty() || error != std::errc() || next != end || ms < 1) {
    throw std::invalid_argument("option " + name + " needs a positive number of milliseconds, not \"" + text +
                                "\"");
  }
  return std::chrono::milliseconds(ms);
}

}  // namespace

Options parseCommandLine(const std::vector<std::string>& arguments) {
  Options options;
  bool havePlugin = false;
  bool haveModel = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::size_t equals = argument.find('=');
    const bool hasInline = argument.rfind("--", 0) == 0 && equals != std::string::npos;
    const std::string name = hasInline ? argument.substr(0, equals) : argument;
    const std::string inlineValue = hasInline ? argument.substr(equals + 1) : std::string();
    if (name == "--help" || name == "-h") {
      options.help = true;
    } else if (name == "--plugin") {
      options.plugin = optionValue(arguments, i, name, inlineValue, hasInline);
      // The loader would search its library path for a bare file name; the user means this one.
      if (!options.plugin.empty() && !options.plugin.has_parent_path()) options.plugin = "." / options.plugin;
      havePlugin = true;
    } else if (name == "--model") {
      options.model = optionValue(arguments, i, name, inlineValue, hasInline);
      haveModel = true;
    } else if (name == "--config") {
      options.configs.push_back(optionValue(arguments, i, name, inlineValue, hasInline));
    } else if (name == "--reconnect-every") {
      options.reconnectEvery =
          parseMilliseconds(name, optionValue(arguments, i, name, inlineValue, hasInline));
    } else if (name == "--format") {
      const std::string format = optionValue(arguments, i, name, inlineValue, hasInline);
      if (format != "json" && format != "text")
        throw std::invalid_argument("option --format takes json or text, not \"" + format + "\"");
      options.format = format == "text" ? OutputFormat::kText : OutputFormat::kJson;
    } else if (name == "--help-file") {
      options.helpFile = optionValue(arguments, i, name, inlineValue, hasInline);
    } else if (name == "--no-simulate" && !hasInline) {
      options.simulate = false;
    } else {
      throw std::invalid_argument("unknown argument \"" + argument + "\"");
    }
  }
  if (options.help) return options;
  if (!havePlugin) throw std::invalid_argument("missing --plugin PATH");
  if (!haveModel) throw std::invalid_argument("missing --model FILE");
  if (options.configs.empty()) throw std::invalid_argument("missing --config CONFIG");
  return options;
}

bool isInlineConfiguration(const std::string& argument) noexcept {
  const std::size_t first = argument.find_first_not_of(" \t\r\n");
  return first != std::string::npos && argument[first] == '{';
}

std::string configurationText(const std::string& argument) {
  if (isInlineConfiguration(argument)) return argument;
  // JSON of another kind would be taken for a file name ("cannot read [1]"): say what it is.
  const std::size_t first = argument.find_first_not_of(" \t\r\n");
  const bool looksLikeJson =
      first != std::string::npos &&
      (std::string_view("[\"-0123456789").find(argument[first]) != std::string_view::npos ||
       argument == "true" || argument == "false" || argument == "null");
  if (looksLikeJson && !std::filesystem::exists(argument)) {
    throw std::invalid_argument(argument +
                                " is JSON but not an object: a configuration is a JSON object or the "
                                "path of a file that holds one");
  }
  return readTextFile(argument);
}

}  // namespace ormanta::apps
