#include "store/run.hpp"

#include "state/state_paths.hpp"
#include "store/store.hpp"
#include "trace/trace.hpp"

#include <sys/stat.h>

namespace {
constexpr int kLineLoadWarn = 373;
}  // namespace

int run_enter_read_only(Store *store)
{
    store_reset(store);
    store->read_only = true;
    // A missing directory is no refusal: there is nothing to read.
    struct stat st = {};
    if (stat(kStateDir, &st) == 0 && !run_state_trusted())
        return kStateNotTrusted;
    return load_config(store, store->file);
}

int run_enter_store(run_lock *lock, Store *store, int timeout_ms, bool quiet)
{
    if (run_lock_take(lock, timeout_ms) < 0)
        return -1;
    store_reset(store);
    int verbosity = log_verbosity;
    if (quiet)
        log_verbosity = 0;
    int rc = load_config(store, store->file);
    if (rc < 0) {
        log_trace(kLineLoadWarn, 4, "WARN[%d]: problem loading configuration file",
                  rc);
    }
    log_verbosity = verbosity;
    return 0;
}
