// What the two programs' front ends share: the lock that serialises every run
// on the host, the usage hint, lenient number reading and the final check of
// standard output.
#pragma once

/// The lock file of one run, held from before the preference file is loaded
/// until the run ends: the destructor unlocks and closes on every return path.
struct RunLock {
    int fd = -1;
    RunLock() = default;
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;
    ~RunLock();
};

/// Opens the lock file (created 0640), waits for the exclusive flock and
/// loads the preference file into the LUN list. 0, or the errno of the failed
/// open, in which case nothing is locked or loaded.
int run_lock_and_load(RunLock &lock);

/// Writes "Error:  Unable to obtain lock." as its own line.
void cli_lock_error();

/// Writes the two-line usage hint. Returns 1.
int cli_usage();

/// Writes `text` and a line end on standard output.
void cli_write_line(const char *text);

/// The exit status: `status`, or -1 when standard output could not be
/// written, so that a lost answer never reads as success.
int cli_finish(int status);
