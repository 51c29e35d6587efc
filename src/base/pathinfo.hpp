// The per-LUN path record, the controller-port labels, and the operations on
// the record's slot table. The probe fills a record; the store keeps them.
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

// Wherever a controller-port index cp is passed, it must be 0..3.

/// Sets prio of the first slot of row cp whose host matches. Returns prio, or
/// -1 (record unchanged) when no slot of the row has that host.
int setPathPrio(pathinfo *rec, int host, int cp, int prio);
/// prio of the first slot of row cp whose host matches, or -1.
int getPathPrio(const pathinfo *rec, int host, int cp);
/// Enters a path into the first free slot of row cp, unless an in-use slot of
/// the row already holds this host: that slot then takes the path's current
/// device name and address (its priority stays). Always returns 0.
int addDevToPathInfo(pathinfo *rec, const char *dev, int host, int channel, int id, int lun,
                     int cp);
/// Whether cp names a controller port (0..3).
inline bool valid_cp(int cp) { return cp >= 0 && cp < kControllerPorts; }
