#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace ormanta::apps {

// ormanta-host --plugin PATH --model FILE --config CONFIG [--config CONFIG ...]
//              [--reconnect-every MS] [--no-simulate] [--format json|text] [--help-file FILE]
enum class OutputFormat { kJson, kText };

struct Options {
  std::filesystem::path plugin;
  std::filesystem::path model;
  std::vector<std::string> configs;  // as given: JSON object texts or file paths
  std::chrono::milliseconds reconnectEvery{5000};
  bool simulate = true;
  OutputFormat format = OutputFormat::kJson;  // JSON lines: what scripts and tests read
  // Its text is printed on the command "help" and once every service serves (the demo's lines
  // for peers).
  std::filesystem::path helpFile;
  bool help = false;
};

inline constexpr const char* kUsage =
    "usage: ormanta-host --plugin PATH --model FILE --config CONFIG [--config CONFIG ...] "
    "[--reconnect-every MS] [--no-simulate] [--format json|text] [--help-file FILE]";

// Throws std::invalid_argument naming the problem; "--help" sets help and nothing is required.
Options parseCommandLine(const std::vector<std::string>& arguments);

// A --config argument's JSON text: the argument itself when it starts with '{' (after white
// space), else the contents of the file it names. Throws std::runtime_error when the file
// cannot be read.
std::string configurationText(const std::string& argument);
bool isInlineConfiguration(const std::string& argument) noexcept;

}  // namespace ormanta::apps
