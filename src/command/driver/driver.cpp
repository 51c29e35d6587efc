#include "command/driver/driver.hpp"

#include "cli/cli.hpp"
#include "command/output/memory_text.hpp"
#include "daemon/multipathd.hpp"

namespace {

/// Enters the run as the command needs: false when it was not had (the
/// wait ran out). A command on one LUN is entered by its operation, after
/// the probe.
bool enter_as_needed(RunNeed need, StoreRun *run)
{
    if (need == RunNeed::kLockOnly)
        return run_lock_take(run->lock, run->timeout_ms) >= 0;
    if (need == RunNeed::kEveryLun)
        return run_entered(run_enter(run, nullptr));
    return true;
}

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

/// Everything before the run is left: the entry, `opened`, `before`, the
/// report. *go_on becomes false when the command ends here (its result).
int up_to_leave(const CommandSteps &steps, StoreRun *run, void *state, MemoryText *text,
                bool *go_on)
{
    *go_on = false;
    bool early = steps.before == nullptr;
    if (early && !enter_as_needed(steps.need, run)) {
        say_refused(steps, 0);
        return -1;
    }
    if (steps.opened != nullptr)
        steps.opened(state);
    if (!early) {
        int rc = steps.before(state);
        if (rc != 0)
            return rc;
        if (!enter_as_needed(steps.need, run)) {
            say_refused(steps, 0);
            return steps.refused_result;
        }
    }
    *go_on = true;
    if (steps.under == nullptr)
        return 0;
    return report(steps, run, state, steps.report == ReportTo::kStdout ? nullptr : text);
}

}  // namespace

int command_drive(const CommandSteps &steps, StoreRun *run, void *state)
{
    bool locks = steps.need != RunNeed::kNoLock;
    int open_error = locks ? run_open(run) : 0;
    if (open_error != 0) {
        say_refused(steps, open_error);
        return -1;
    }
    MemoryText text;
    bool go_on = false;
    int rc = up_to_leave(steps, run, state, &text, &go_on);
    // The one place the run is left: whatever the command did under it.
    if (locks)
        run_leave(run);
    if (text.bytes.size() > 0)
        std::fwrite(text.bytes.data(), 1, text.bytes.size(), stdout);
    if (!go_on || steps.after == nullptr)
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
