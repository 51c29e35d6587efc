// tald's commands: for each option a command line can end in, what it needs
// of the run and its steps (command/driver/driver.hpp), in one table.
#pragma once

#include "base/grow_array.hpp"
#include "command/driver/driver.hpp"
#include "command/fleet/fleet_input.hpp"
#include "command/front/options.hpp"
#include "operations/operations.hpp"

/// What one run of tald carries from step to step.
struct TaldCall {
    TaldOption option;          ///< the option the line ends in
    const char *first_arg;      ///< argv[1], or "" (the handler's trace)
    GrowArray<int> levels;      ///< the "-v" levels before it, in their order
    int result = -1;            ///< the scan's result so far: 0 after a level
    int stored = 0;             ///< "--prio ... --wait": the stored priority
    FleetInput input;           ///< "--apply": the document
    /// "--prio --get|--set", "--alias --get": the operation on the path.
    PathCall path{PathOp::kGetPrio, nullptr};
};

/// How long tald waits for the run lock: an administrator's command may wait
/// longer for a busy host than multipath's callout.
inline constexpr int kTaldLockWaitMs = 30000;

/// The steps of the command `option` names.
const CommandSteps &tald_steps(const TaldOption &option);
