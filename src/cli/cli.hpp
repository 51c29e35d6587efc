// What the two programs share on their command line and standard output: the
// usage hint, the lock failure's line, lines of text, and the final check
// that the answer reached its reader.
#pragma once

/// Writes "Error:  Unable to obtain lock." as its own line.
void cli_lock_error();

/// Writes the two-line usage hint. Returns 1.
int cli_usage();

/// Writes `text` and a line end on standard output.
void cli_write_line(const char *text);

/// The exit status: `status`, or -1 when standard output could not be
/// written, so that a lost answer never reads as success.
int cli_finish(int status);

/// As cli_finish, and a lost answer is said on standard error: "standard
/// output: cannot be written: REASON" (tald; the callout's reader is
/// multipath, which reads its answer alone).
int cli_finish_told(int status);
