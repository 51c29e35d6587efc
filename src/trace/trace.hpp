// Diagnostic trace: leveled messages on standard error, filtered by one
// process-wide threshold. Levels follow the syslog severities; the call sites
// of this system use 3 (error), 4 (warning), 6 (informational) and 7 (debug).
#pragma once

/// Highest level that is still written. Starts at 0 (nothing is written);
/// only the management command changes it. A thread that has set a
/// verbosity of its own (log_thread_use) goes by that instead.
extern int log_verbosity;

/// The highest level written for the calling thread: its own verbosity, or
/// log_verbosity.
int log_level();

/// When `level` <= `log_verbosity`, formats the message into a static 512-byte
/// buffer (cut to 511 characters) and writes "[line] message\n" to standard
/// error; otherwise does nothing at all. `line` is the number the texts give
/// for the call, a constant of the caller's (never __LINE__). Never
/// allocates, never fails towards the caller.
void log_trace(int line, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/// Sends the lines that log_trace writes to syslog(3) instead (facility
/// daemon, the trace level as the priority, "[line] message" as the text),
/// or back to standard error. For code that runs inside a daemon; it holds
/// for the calling thread only.
void log_use_syslog(bool on);

/// The calling thread's own verbosity (-1: log_verbosity again), for code
/// whose threads each serve a caller with its own settings. Returns the
/// thread's own verbosity before (-1: it had none), for a step that sets its
/// own for a while to give it back.
int log_thread_use(int verbosity);

/// Writes a formatted text that is no trace, whatever the verbosity: on
/// standard error without a line end of its own, or as a syslog warning
/// (facility daemon) while log_use_syslog is on.
void log_text(const char *format, ...) __attribute__((format(printf, 1, 2)));

/// Formats the message into its own static 512-byte buffer and writes it with
/// a line end to standard output when `level` is 0 or less. Returns 0.
int log_console(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
