// A file that tald writes for others to read (--metrics FILE, --export
// FILE): written beside its place under a name of its own, synced, and
// renamed over it, so that a reader sees the old content or the new one
// whole, never a part.
#pragma once

#include <sys/types.h>

#include <cstdio>

/// Writes through `write(out, context)` into a new file in `file`'s
/// directory (".NAME.XXXXXX": no collector that reads "*.prom" or
/// "*.json" reads it), with mode `mode`, synced, then renamed over `file`.
/// 0, or an errno value (the new file removed, `file` as it was).
int out_file_replace(const char *file, mode_t mode, void (*write)(FILE *out, void *context),
                     void *context);
