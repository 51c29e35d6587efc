#include "command/driver/driver.hpp"

#include "cli/cli.hpp"
#include "command/output/memory_text.hpp"
#include "daemon/multipathd.hpp"

namespace {

/// A command on its way through run_life.
struct Drive {
    const CommandSteps &steps;
    void *state;
    MemoryText text;
    bool go_on = false;  ///< the command goes on to its step after the lock
};

Drive &drive_of(void *drive) { return *static_cast<Drive *>(drive); }

void say_refused(const CommandSteps &steps, int open_error)
{
    cli_lock_error();
    if (steps.refused != nullptr)
        steps.refused(open_error);
}

/// The step under the lock into `text` (standard output when it is nullptr,
/// or when a report that may be built again lost memory on the way). The
/// step's result.
int report(const CommandSteps &steps, StoreRun *run, void *state, MemoryText *text)
{
    FILE *stream = text != nullptr ? memory_text_open(text) : nullptr;
    if (stream == nullptr)
        return steps.under(run, state, stdout);
    int rc = steps.under(run, state, stream);
    bool failed = std::ferror(stream) != 0;
    if ((std::fclose(stream) != 0 || failed) && steps.report == ReportTo::kMemoryOrAgain) {
        text->bytes.clear();
        return steps.under(run, state, stdout);
    }
    return rc;
}

/// The lock file refused, or `opened` and `before` when there is a `before`.
RunGo before_entry(StoreRun *run, void *drive, int open_error, int *result)
{
    Drive &d = drive_of(drive);
    if (open_error != 0) {
        say_refused(d.steps, open_error);
        *result = -1;
        return RunGo::kStop;
    }
    if (d.steps.before == nullptr)
        return RunGo::kEnter;
    if (d.steps.opened != nullptr)
        d.steps.opened(d.state);
    *result = d.steps.before(run, d.state);
    return *result == 0 ? RunGo::kEnter : RunGo::kStop;
}

/// Once entered as the command needs: `opened` when there was no `before`,
/// and the report. A run not had (the wait ran out) is said here, but on one
/// LUN, where the operation says it.
int under_lock(StoreRun *run, void *drive)
{
    Drive &d = drive_of(drive);
    const CommandSteps &steps = d.steps;
    bool early = steps.before == nullptr;
    bool wanted = steps.need == RunNeed::kLockOnly || steps.need == RunNeed::kEveryLun;
    if (wanted && !run_entered(run->entry)) {
        say_refused(steps, 0);
        return early ? -1 : steps.refused_result;
    }
    if (early && steps.opened != nullptr)
        steps.opened(d.state);
    d.go_on = true;
    if (steps.under == nullptr)
        return 0;
    return report(steps, run, d.state, steps.report == ReportTo::kStdout ? nullptr : &d.text);
}

}  // namespace

int command_drive(const CommandSteps &steps, StoreRun *run, void *state)
{
    Drive drive = {steps, state, {}, false};
    RunSteps life = {steps.need, before_entry, under_lock, nullptr};
    int rc = run_life(life, run, &drive);
    const GrowArray<char> &bytes = drive.text.bytes;
    if (bytes.size() > 0)
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    if (!drive.go_on || steps.after == nullptr)
        return rc;
    return steps.after(run, state, rc, AfterLock());
}

void command_daemon_view(const AfterLock &, int bound_ms, DaemonView *view)
{
    DaemonLink link;
    if (daemon_link_open(&link) == 0) {
        daemon_view(link, bound_ms, view);
        daemon_view_groups(link, bound_ms, nullptr, view);
    }
    daemon_link_close(&link);
}
