#pragma once

// The model file: the elements, attributes and value simulations that ormanta-host serves.
//
//   {"elements":[{"key":"Boiler","name":"Boiler 1","category":"Equipment",
//     "attributes":[{"name":"Temp","type":"double","access":"r","value":20.5,
//                    "simulate":{"kind":"sine","periodMs":10000,"amplitude":5}}],
//     "children":[...]}]}
//
// A nested element's primary key is the dot-joined path of keys ("Area1.Boiler1").

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "ormanta/data/Types.h"
#include "ormanta/host/Model.h"

namespace ormanta::apps {

enum class SimulationKind { kCounter, kSine, kToggle, kRandom };

struct Simulation {
  SimulationKind kind = SimulationKind::kCounter;
  std::int64_t periodMs = 1000;  // counter, toggle, random: one change per period; sine: the wave's period
  std::int64_t stepMs = 500;     // sine: how often the wave is sampled
  double amplitude = 1.0;        // sine
  double min = 0.0;              // random
  double max = 1.0;              // random
  int decimals = 2;              // sine and random doubles are rounded to this many decimals
};

struct SimulatedAttribute {
  std::string primaryKey;
  std::string attribute;
  data::NativeType type = data::NativeType::kDouble;
  data::Value initial;
  Simulation simulation;
};

// Adds the elements of a model file's text to model and returns the simulated attributes, in
// file order. Throws std::invalid_argument (or the decoder's ParseError) with a message that
// names the JSON path of the problem, e.g. "$.elements[0].attributes[1].type: unknown type
// \"float\" ...". Elements added before a failure stay in the model.
std::vector<SimulatedAttribute> buildModel(std::string_view text, host::Model& model);

// Reads the file and builds the model; a file that cannot be read throws std::runtime_error.
std::vector<SimulatedAttribute> loadModelFile(const std::filesystem::path& path, host::Model& model);

// Reads a whole file; throws std::runtime_error "cannot read <path>: <reason>".
std::string readTextFile(const std::filesystem::path& path);

}  // namespace ormanta::apps
