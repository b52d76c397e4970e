#pragma once

#include <filesystem>
#include <string>

namespace ormanta::host {

// A plug-in module loaded with the OS loader: loading runs its static initialisers (which
// register its skills), destruction unloads it (running its static destructors). Every
// element and skill the plug-in made must be gone before the library is destroyed.
class PluginLibrary {
 public:
  // Throws std::runtime_error "cannot load plug-in <path>: <reason>".
  explicit PluginLibrary(const std::filesystem::path& path);
  ~PluginLibrary();
  PluginLibrary(PluginLibrary&& other) noexcept;
  PluginLibrary& operator=(PluginLibrary&&) = delete;
  PluginLibrary(const PluginLibrary&) = delete;
  PluginLibrary& operator=(const PluginLibrary&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  // Unloads now (idempotent).
  void unload() noexcept;

 private:
  std::filesystem::path path_;
  void* handle_ = nullptr;
};

}  // namespace ormanta::host
