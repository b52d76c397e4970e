#include "host/Simulator.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace ormanta::apps {
namespace {

double asDouble(const data::Value& value) {
  if (auto* v = std::get_if<std::int64_t>(&value)) return static_cast<double>(*v);
  if (auto* v = std::get_if<std::uint64_t>(&value)) return static_cast<double>(*v);
  if (auto* v = std::get_if<double>(&value)) return *v;
  return 0.0;
}

// Readable values: 81.95 rather than 81.95077428429025.
double rounded(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

// A double in the attribute's numeric type; integers are rounded and clamped to 64 bits (the
// model refuses what does not fit a smaller bit size).
data::Value numberOfType(data::NativeType type, double value) {
  switch (type) {
    case data::NativeType::kInt: {
      const double clamped = std::clamp(std::round(value), -9.2e18, 9.2e18);
      return static_cast<std::int64_t>(clamped);
    }
    case data::NativeType::kUInt: {
      const double clamped = std::clamp(std::round(value), 0.0, 1.8e19);
      return static_cast<std::uint64_t>(clamped);
    }
    default:
      return value;
  }
}

data::Value incremented(const data::Value& value) {
  if (auto* v = std::get_if<std::int64_t>(&value)) {
    return *v == std::numeric_limits<std::int64_t>::max() ? data::Value(std::int64_t{0})
                                                          : data::Value(*v + 1);
  }
  if (auto* v = std::get_if<std::uint64_t>(&value)) return *v + 1;  // wraps to 0
  if (auto* v = std::get_if<double>(&value)) return *v + 1.0;
  return value;
}

}  // namespace

Simulator::Simulator(std::shared_ptr<host::Model> model, std::vector<SimulatedAttribute> attributes,
                     Clock::time_point start, std::uint64_t seed)
    : model_(std::move(model)), start_(start), random_(seed) {
  for (SimulatedAttribute& attribute : attributes) {
    const std::int64_t ms = attribute.simulation.kind == SimulationKind::kSine
                                ? attribute.simulation.stepMs
                                : attribute.simulation.periodMs;
    const std::chrono::milliseconds interval(ms);
    entries_.push_back({std::move(attribute), interval, start + interval});
  }
}

Simulator::Clock::time_point Simulator::nextDue() const noexcept {
  Clock::time_point next = Clock::time_point::max();
  for (const Entry& entry : entries_) next = std::min(next, entry.due);
  return next;
}

data::Value Simulator::nextValue(const Entry& entry, Clock::time_point now) {
  const SimulatedAttribute& attribute = entry.attribute;
  const Simulation& simulation = attribute.simulation;
  switch (simulation.kind) {
    case SimulationKind::kCounter: {
      utils::Expected<data::Value> current = model_->readValue(attribute.primaryKey, attribute.attribute);
      return incremented(current ? *current : attribute.initial);
    }
    case SimulationKind::kToggle: {
      utils::Expected<data::Value> current = model_->readValue(attribute.primaryKey, attribute.attribute);
      const bool* flag = current ? std::get_if<bool>(&*current) : nullptr;
      return !(flag && *flag);
    }
    case SimulationKind::kSine: {
      const double elapsedMs = std::chrono::duration<double, std::milli>(now - start_).count();
      const double phase = 2.0 * std::numbers::pi * elapsedMs / static_cast<double>(simulation.periodMs);
      const double value = asDouble(attribute.initial) + simulation.amplitude * std::sin(phase);
      return numberOfType(attribute.type, rounded(value, simulation.decimals));
    }
    case SimulationKind::kRandom: {
      if (attribute.type == data::NativeType::kDouble) {
        return rounded(std::uniform_real_distribution<double>(simulation.min, simulation.max)(random_),
                       simulation.decimals);
      }
      // Clamped so that the conversions to 64-bit integers stay defined.
      const double low = std::clamp(std::ceil(simulation.min), -9.2e18, 9.2e18);
      const double high = std::clamp(std::floor(simulation.max), -9.2e18, 9.2e18);
      if (low > high) return numberOfType(attribute.type, simulation.min);
      if (attribute.type == data::NativeType::kUInt) {
        return std::uniform_int_distribution<std::uint64_t>(
            static_cast<std::uint64_t>(std::max(low, 0.0)),
            static_cast<std::uint64_t>(std::max(high, 0.0)))(random_);
      }
      return std::uniform_int_distribution<std::int64_t>(static_cast<std::int64_t>(low),
                                                         static_cast<std::int64_t>(high))(random_);
    }
  }
  return attribute.initial;
}

std::size_t Simulator::tick(Clock::time_point now) {
  host::Model::ChangeBatch batch = model_->batch();
  for (Entry& entry : entries_) {
    if (entry.due > now) continue;
    const SimulatedAttribute& attribute = entry.attribute;
    // A value the attribute cannot hold (a counter past its bit size) starts it over.
    if (batch.add(attribute.primaryKey, attribute.attribute, nextValue(entry, now))) {
      (void)batch.add(attribute.primaryKey, attribute.attribute, attribute.initial);
    }
    // Missed periods are skipped, not caught up.
    while (entry.due <= now) entry.due += entry.interval;
  }
  const std::size_t changes = batch.size();
  if (changes > 0) batch.commit();
  return changes;
}

}  // namespace ormanta::apps
