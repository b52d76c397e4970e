#include "ormanta/host/PluginLibrary.h"

#include <dlfcn.h>

#include <stdexcept>
#include <utility>

namespace ormanta::host {

PluginLibrary::PluginLibrary(const std::filesystem::path& path) : path_(path) {
  // RTLD_LOCAL: a plug-in's own symbols never satisfy another module's references.
  handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* reason = ::dlerror();
    throw std::runtime_error("cannot load plug-in " + path.string() + ": " +
                             (reason ? reason : "unknown error"));
  }
}

PluginLibrary::~PluginLibrary() { unload(); }

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : path_(std::move(other.path_)), handle_(std::exchange(other.handle_, nullptr)) {}

void PluginLibrary::unload() noexcept {
  if (handle_ != nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
  }
}

}  // namespace ormanta::host
