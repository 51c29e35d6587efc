// What the last look saw, kept in /run/tald/look for the next: one line per
// LUN, "WWID P" when its I/O went through its preferred path group, "WWID O"
// when through another. The directory is root's alone (0700, made here when
// missing, refused when it is a link, another user's, or open to others);
// the file is read whole within kLookStateMax, never through a link, and
// replaced whole under another name in that directory; looks on one host
// take turns on a lock of the directory.
#pragma once

#include "base/grow_array.hpp"
#include "base/pathinfo.hpp"

#include <cstddef>
#include <cstdio>

inline constexpr const char *kLookDir = "/run/tald";
inline constexpr const char *kLookFile = "look";
/// The largest state file read: 16384 LUNs take about 1.1 MB.
inline constexpr std::size_t kLookStateMax = 4u << 20;
/// How long a look waits for another to finish with the state.
inline constexpr int kLookLockMs = 10000;

/// A LUN's state as a look sees it.
enum LookSide : char {
    kSidePreferred = 'P',
    kSideOther = 'O',
    kSideUnseen = '?',  ///< not held by the daemon, or its groups not read
};

struct LookLine {
    char wwid[kWwidSize];
    LookSide side;
};

/// The state directory, opened, trusted and locked; its lock ends with it.
struct LookPlace {
    int dir_fd = -1;
};

/// Opens (making it when missing) and locks `dir`: 0, or -errno (-EPERM:
/// another user's or open to others; -ELOOP: a link; -ETIMEDOUT: another
/// look held it for kLookLockMs).
int look_place_open(LookPlace *place, const char *dir);
void look_place_close(LookPlace *place);

/// The kept state into *lines, sorted by wwid: 0, also when there is none;
/// -EINVAL when it is damaged (*bad_line: its first bad line), -EFBIG when
/// longer than kLookStateMax, or another -errno: the caller looks afresh.
int look_state_read(const LookPlace &place, GrowArray<LookLine> *lines, std::size_t *bad_line);
/// The side kept for `wwid`, or kSideUnseen.
LookSide look_state_find(const GrowArray<LookLine> &lines, const char *wwid);
/// Replaces the state with `lines` (any order): 0 or -errno.
int look_state_write(const LookPlace &place, const GrowArray<LookLine> &lines);
