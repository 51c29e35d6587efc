#include "store/trust.hpp"

#include <unistd.h>

Trust trust_of(const struct stat &st, TrustRule rule)
{
    if (st.st_uid != 0)
        return kNotRoots;
    if (rule == kOwnerAndNoWriters && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return kWritable;
    return kTrusted;
}

bool running_as_root() { return geteuid() == 0; }
