// What the fuzz targets share: a failed invariant ends the run as a finding,
// and the store's files live in a private scratch directory (tmpfs where the
// machine has one, so that the saves' fsyncs cost nothing).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// Aborts with `what` on standard error (a finding) unless `ok`.
#define FUZZ_CHECK(ok, what) fuzz_check((ok), (what), __FILE__, __LINE__)

void fuzz_check(bool ok, const char *what, const char *file, int line);

/// Called from each target's LLVMFuzzerInitialize: every trace formatted at
/// verbosity 7, and written to a discarded stream unless FUZZ_TRACES=1.
void fuzz_setup();

/// The scratch directory of this process, created on first use (inside
/// $FUZZ_SCRATCH, else /dev/shm or /tmp) and removed at a normal exit, and a
/// path inside it.
std::string fuzz_scratch(const char *name);

/// Replaces the file at `path` with `size` bytes. Aborts when it cannot.
void fuzz_write_file(const std::string &path, const uint8_t *data, std::size_t size);
/// The whole file at `path`; empty when it is missing.
std::string fuzz_read_file(const std::string &path);
/// The lines of `text`, each without its line feed; a last line without one
/// is a finding (every line the store writes ends in one).
std::vector<std::string> fuzz_lines(const std::string &text);
/// True when the field of `size` bytes holds a NUL.
bool fuzz_terminated(const char *field, std::size_t size);
