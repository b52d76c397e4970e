#pragma once

#include <system_error>

#include "ormanta/memory/MemoryBlock.h"
#include "plugin/ErrorCategories.h"

namespace ormanta::plugins::TulService {

// The records that the workers publish and the host reads as attributes. Each has one writer
// thread, except RegistrationState: the data worker also writes it when its connection fails
// (writers of one block are serialised by the block). Readers see committed records only.

struct DataConnectionState {
  std::error_code error = connectionError(ConnectionErrorCategory::kNotEstablished);
  bool connected = false;
};

struct CommandConnectionState {
  std::error_code error = connectionError(ConnectionErrorCategory::kNotEstablished);
  bool connected = false;
};

struct GeneralConnectionState {
  std::error_code error = generalConnectionError(GeneralConnectionErrorCategory::kBothDown);
  bool connected = false;
};

struct RegistrationState {
  std::error_code error = registrationError(RegistrationErrorCategory::kPending);
  bool registered = false;
};

// Whether every subscribed member's value stream takes its values: "no error", or the last
// value stream the server refused, with the key's name.
struct PublishingState {
  std::error_code error = connectionError(ConnectionErrorCategory::kNoError);
};

// The block handler of a record type: size, alignment, field-wise copy, default record.
template <class Record>
const memory::BlockHandler& blockHandlerOf() noexcept {
  static const memory::BlockHandler handler{sizeof(Record), alignof(Record),
                                            [](void* destination, const void* source) {
                                              auto& to = *static_cast<Record*>(destination);
                                              const auto& from = *static_cast<const Record*>(source);
                                              to.error = from.error;
                                              if constexpr (requires { to.registered; }) {
                                                to.registered = from.registered;
                                              } else if constexpr (requires { to.connected; }) {
                                                to.connected = from.connected;
                                              }
                                            },
                                            [](void* storage) { new (storage) Record(); },
                                            [](void*) {}};  // the records hold nothing to release
  return handler;
}

// A block holding Record's default record, in the host's data memory.
template <class Record>
memory::MemoryBlock makeStateBlock() {
  return memory::MemoryBlock::create(memory::memoryResources::data(), blockHandlerOf<Record>());
}

}  // namespace ormanta::plugins::TulService
