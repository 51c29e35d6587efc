#include "command/driver/driver.hpp"

#include "cli/cli.hpp"
#include "command/output/memory_text.hpp"

namespace {

/// Opens the lock file and, unless the command must do something first,
/// enters the run: 0, or the errno value of the open, or -1 when the run was
/// not entered (the wait ran out).
int enter_as_needed(RunNeed need, StoreRun *run, bool now)
{
    if (!now || need == RunNeed::kNoLock || need == RunNeed::kOneLun)
        return 0;
    if (need == RunNeed::kLockOnly)
        return run_lock_take(run->lock, run->timeout_ms) < 0 ? -1 : 0;
    return run_entered(run_enter(run, nullptr)) ? 0 : -1;
}

void say_refused(const CommandSteps &steps, int open_error)
{
    cli_lock_error();
    if (steps.refused != nullptr)
        steps.refused(open_error);
}

/// The step under the lock into its report; the run left (*left) before
/// the report is written, unless the report went to standard output under
/// the lock. The step's result.
int report_and_leave(const CommandSteps &steps, StoreRun *run, void *state, bool *left)
{
    if (steps.under == nullptr)
        return 0;
    MemoryText text;
    FILE *stream = steps.report == ReportTo::kStdout ? nullptr : memory_text_open(&text);
    if (stream == nullptr)
        return steps.under(run, state, stdout);
    int rc = steps.under(run, state, stream);
    bool failed = std::ferror(stream) != 0;
    if ((std::fclose(stream) != 0 || failed) && steps.report == ReportTo::kMemoryOrAgain)
        return steps.under(run, state, stdout);
    if (steps.need != RunNeed::kNoLock) {
        run_leave(run);
        *left = true;
    }
    if (text.bytes.size() > 0)
        std::fwrite(text.bytes.data(), 1, text.bytes.size(), stdout);
    return rc;
}

}  // namespace

int command_drive(const CommandSteps &steps, StoreRun *run, void *state)
{
    bool locks = steps.need != RunNeed::kNoLock;
    int open_error = locks ? run_open(run) : 0;
    int entered = open_error == 0 ? enter_as_needed(steps.need, run, steps.before == nullptr) : 0;
    if (open_error != 0 || entered < 0) {
        say_refused(steps, open_error);
        return -1;
    }
    if (steps.opened != nullptr)
        steps.opened(state);
    if (steps.before != nullptr) {
        int rc = steps.before(state);
        if (rc != 0) {
            if (locks)
                run_leave(run);
            return rc;
        }
        if (enter_as_needed(steps.need, run, true) < 0) {
            run_leave(run);
            say_refused(steps, 0);
            return steps.refused_result;
        }
    }
    bool left = false;
    int rc = report_and_leave(steps, run, state, &left);
    // Left once: before the report was written, or here.
    if (locks && !left)
        run_leave(run);
    if (steps.after == nullptr)
        return rc;
    return steps.after(run, state, rc, AfterLock());
}
