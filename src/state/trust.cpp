#include "state/trust.hpp"

#include "trace/trace.hpp"

#include <unistd.h>

namespace {
constexpr int kLineFileNotRoots = 358;
constexpr int kLineFileWritable = 360;
}  // namespace

Trust trust_of(const struct stat &st, TrustRule rule)
{
    if (st.st_uid != 0)
        return kNotRoots;
    if (rule == kOwnerAndNoWriters && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return kWritable;
    return kTrusted;
}

bool running_as_root() { return geteuid() == 0; }

bool file_trusted(const char *path, const struct stat &st, TrustRule rule)
{
    Trust trust = trust_of(st, rule);
    if (trust == kNotRoots) {
        log_trace(kLineFileNotRoots, 3, "ERROR: %s is not owned by root; not used",
                  path);
    } else if (trust == kWritable) {
        log_trace(kLineFileWritable, 3,
                  "ERROR: %s is writable by group or others; not used", path);
    }
    return trust == kTrusted;
}
