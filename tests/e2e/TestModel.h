#pragma once

#include <string_view>

namespace tul::test {

// A small model: nested elements, every access mode, several types, one simulated counter,
// and an element without attributes. Primary keys: Boiler, Boiler.Pump, Empty.
inline constexpr std::string_view kTestModel = R"({"elements":[
  {"key":"Boiler","name":"Boiler 1","category":"Equipment","attributes":[
    {"name":"Temp","type":"double","access":"r","value":20.5},
    {"name":"Setpoint","type":"double","access":"b","value":21},
    {"name":"On","type":"bool","access":"b","value":false},
    {"name":"Count","type":"int","access":"r","value":0,"simulate":{"kind":"counter","periodMs":200}},
    {"name":"Mode","type":"string","access":"w","value":"auto"}],
   "children":[
    {"key":"Pump","category":"Pump","attributes":[
      {"name":"Speed","type":"uint","access":"b","bitSize":16,"value":1200},
      {"name":"Since","type":"time","access":"r","value":"2026-01-02T03:04:05Z"},
      {"name":"Q","type":"quality","access":"b","value":"Good"}]}]},
  {"key":"Empty"}]})";

}  // namespace tul::test
