// A file that tald writes for others to read (--metrics FILE, --export
// FILE): written beside its place under a name of its own, synced, and
// renamed over it, so that a reader sees the old content or the new one
// whole, never a part.
//
// The way to it is walked from / (or from the working directory) one
// directory at a time, each opened without following a link, and the file
// is made and renamed within the last of them: a directory that another
// user renames or replaces meanwhile changes nothing. A symlink on the way
// is followed only where it stands in a directory that no user but root (and
// the user running tald) can change; one that another user could have
// placed (the collector's account owns /var/lib/prometheus, say) is refused
// before anything is written, so that root never writes where such a user
// points it.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdio>

/// Room for the reason of a failed replace: the longest path and its words.
constexpr std::size_t kOutFileWhySize = 4096 + 160;

/// Writes through `write(out, context)` into a new file in `file`'s
/// directory (".NAME.XXXXXX": no collector that reads "*.prom" or
/// "*.json" reads it), with mode `mode`, synced, then renamed over `file`,
/// and the directory synced (replace_commit). 0; otherwise -errno, with the reason
/// in `why` (strerror's text, or the symlink that another user could have
/// placed: EPERM), and `file` as it was, nothing left beside it.
int out_file_replace(const char *file, mode_t mode, void (*write)(FILE *out, void *context),
                     void *context, char *why, std::size_t why_size);
