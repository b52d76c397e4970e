#include "ormanta/process/Task.h"

namespace ormanta::process {

Task::~Task() = default;
Task::Timing Task::timing() const { return {}; }
std::uint32_t Task::stages() const { return kPreOperational | kOperational | kPostOperational; }
void Task::preparePreOperational() {}
void Task::finishPreOperational() {}
void Task::operational() {}
void Task::preparePostOperational() {}
void Task::finishPostOperational() {}

}  // namespace ormanta::process
