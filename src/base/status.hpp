// How every module of the library says that something failed.
//
// The one dialect, for everything whose result is not fixed by what multipath
// and the admin's scripts already read (getPrio, setPrio, load_config and the
// messages and exit statuses keep theirs, whatever this says):
//
// 1. A step that can fail returns `int`: 0 when it was done, a negative errno
//    value when it was not, so that the caller can tell it with strerror(-rc)
//    and never mistakes a count or a descriptor for a cause. A failure the
//    system did not name takes the errno value that says it best (EINVAL: the
//    input cannot be read; EEXIST: there is one already; EAGAIN: another run
//    holds it; ETIMEDOUT: the bound passed; ESTALE: it changed underneath).
// 2. A step with more than one way to succeed returns an enum named for its
//    answers (RunEntry, say), never an int whose -2 and -3 mean one thing here
//    and another there.
// 3. A step that counts or opens returns the count or the descriptor, and
//    -errno when it failed, as the system calls do.
// 4. `bool` only for a question (is it..., has it...), never for a failure.
// 5. What changes how a step behaves (a bound, a verbosity, a quiet run) is a
//    parameter of that step, never a setting left in a global or thread_local
//    around the call.
#pragma once

#include <cerrno>

/// The failure of a system call as this dialect says it: -errno, or -EIO
/// when errno was left at 0.
inline int status_from_errno() { return errno > 0 ? -errno : -EIO; }
