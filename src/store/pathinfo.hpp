// The per-LUN path record and the controller-port labels.
#pragma once

#include <array>
#include <cstddef>

constexpr int kControllerPorts = 4;  ///< rows of the slot table, indexed by cp
constexpr int kSlotsPerPort = 4;     ///< paths recorded under one controller port
constexpr std::size_t kWwidSize = 64;
constexpr std::size_t kTextNameSize = 33;
constexpr std::size_t kDevSize = 256;

/// One LUN with the paths the host has seen to it. `wwid`, `text_name` and
/// the slot table persist in the preference file; `lunref` .. `lun` describe
/// the one path that the probe filled in for the current run and are 0 in a
/// record read from the file. A slot is in use when its prio is nonzero.
struct pathinfo {
    char wwid[kWwidSize];
    char text_name[kTextNameSize];
    int lunref;
    int cp;  ///< 0..3, -1 while undetermined
    char dev[kDevSize];
    int host;
    int channel;
    int id;
    int lun;
    int prio[kControllerPorts][kSlotsPerPort];
    char slot_dev[kControllerPorts][kSlotsPerPort][kDevSize];
    int slot_host[kControllerPorts][kSlotsPerPort];
    int slot_channel[kControllerPorts][kSlotsPerPort];
    int slot_id[kControllerPorts][kSlotsPerPort];
    int slot_lun[kControllerPorts][kSlotsPerPort];
};

/// Labels of the controller ports, indexed by cp.
inline constexpr std::array<const char *, kControllerPorts> cp_names = {"C0P0", "C0P1", "C1P0",
                                                                        "C1P1"};

/// Copies `src` into a field of `size` bytes: at most size-1 characters and
/// always a terminating NUL.
void copy_field(char *dst, std::size_t size, const char *src);

/// Reads a number as strtol does in base 10 (leading blanks, one sign, digits
/// up to the first other character; 0 without digits), saturated to the
/// range of int instead of overflowing.
int int_from_text(const char *text);
