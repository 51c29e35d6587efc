// tald's commands: for each option a command line can end in, what it needs
// of the run and its steps (command/driver/driver.hpp), in one table.
#pragma once

#include "base/grow_array.hpp"
#include "command/driver/driver.hpp"
#include "command/fleet/fleet_input.hpp"
#include "command/front/options.hpp"

/// What one run of tald carries from step to step.
struct TaldCall {
    TaldOption option;          ///< the option the line ends in
    const char *first_arg;      ///< argv[1], or "" (the handler's trace)
    GrowArray<int> levels;      ///< the "-v" levels before it, in their order
    int result = -1;            ///< the scan's result so far: 0 after a level
    int stored = 0;             ///< "--prio ... --wait": the stored priority
    FleetInput input;           ///< "--apply": the document
};

/// How long tald waits for the run lock: an administrator's command may wait
/// longer for a busy host than multipath's callout.
inline constexpr int kTaldLockWaitMs = 30000;

/// The steps of the command `option` names.
const CommandSteps &tald_steps(const TaldOption &option);

/// "--prio OPERATION path [preference]": "--get" prints the path's
/// priority, 0; "--set": 0 when the preference was applied and saved, -2
/// otherwise (the lines written explain it; and for a run that did not
/// obtain the lock); any other operation: -1. *stored (if given) becomes
/// the path's stored priority, 0 when there is none.
int cli_prio(StoreRun *run, const char *operation, const char *path, const char *preference,
             int *stored);
