// Helpers of the unit tests that build records by hand and read what the
// trace wrote: shared by the tests of the record, the store and the listing.
#pragma once

#include "base/pathinfo.hpp"
#include "base/text.hpp"
#include "trace/trace.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

/// Zeroed heap record, as the probe leaves it before filling it.
inline pathinfo *new_record()
{
    auto *rec = static_cast<pathinfo *>(std::malloc(sizeof(pathinfo)));
    std::memset(rec, 0, sizeof *rec);
    return rec;
}

inline void set_slot(pathinfo *rec, int cp, int slot, const char *dev, int host, int channel,
                     int id, int lun, int prio)
{
    copy_field(rec->slot_dev[cp][slot], kDevSize, dev);
    rec->slot_host[cp][slot] = host;
    rec->slot_channel[cp][slot] = channel;
    rec->slot_id[cp][slot] = id;
    rec->slot_lun[cp][slot] = lun;
    rec->prio[cp][slot] = prio;
}

/// What fn traced on standard error at `verbosity`.
inline std::string traced_stderr(int verbosity, const std::function<void()> &fn)
{
    int saved = log_verbosity;
    log_verbosity = verbosity;
    testing::internal::CaptureStderr();
    fn();
    log_verbosity = saved;
    return testing::internal::GetCapturedStderr();
}
