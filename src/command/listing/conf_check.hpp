// `tald --check`: what the next run that saves would do to the preference
// file, line by line, without changing anything.
//
// The check reads the file's bytes itself and judges each line by the
// rules of the load: a line ends at a line feed or a carriage return; empty
// lines, lines longer than any record can give and lines holding a NUL byte
// are dropped; so is a line without a wwid, and a second line of a wwid
// (the first one stays). A line with missing fields becomes a record all
// the same. The store then writes every record as line_format gives
// it, each ended by a line feed alone: a line that is not exactly that text
// is rewritten. When the file is exactly its records' lines, a run leaves it
// as it is.
#pragma once

#include <cstdio>

/// What tald says of a preference file that exists but cannot be read: the
/// path, then why.
inline constexpr const char *kFmtConfUnreadable = "%s: cannot be read: %s\n";

/// What conf_check found.
enum ConfCheck {
    kCheckClean = 0,       ///< a run keeps every line as it stands (or there is no file)
    kCheckDamaged = 1,     ///< a run would drop or rewrite at least one line
    kCheckUnreadable = -1, ///< the file exists but cannot be read whole
};

/// Checks the preference file at `path` and writes the report to `out`: for
/// every line that a run would drop or rewrite, "<path>:<line>: <why>", then
/// one summary line "<path>: ...". The caller holds the run lock. Without
/// memory to remember the wwids seen, the check ends as for a file that
/// cannot be read, with strerror(ENOMEM) as the reason.
ConfCheck conf_check(const char *path, FILE *out);
