// The path preference store, as the floors above see it.
//
// A store is a value that its user makes for one file and passes to every
// function; nothing of it is global. A program run makes one; a load fills
// it from the file; resolutions change it and save it; the run ends and the
// store frees all of it. The plugin keeps one store across calls, so that
// what it read of the file serves the next call while the file on disk is
// unchanged (resolve_peek); store_drop_records frees the records between calls
// and keeps that text.
#pragma once

#include "base/pathinfo.hpp"
#include "state/state_paths.hpp"

#include <climits>
#include <cstddef>

struct dlist;
struct FdReader;
struct LockFile;
struct StoreInside;

/// The room of a store's own state (StoreInside, store/records.hpp) within the value.
inline constexpr std::size_t kStoreInsideBytes = 23 * 1024;

struct Store {
    /// A store whose resolutions save to `file`; nothing loaded yet.
    explicit Store(const char *file);
    /// Frees everything the store holds (store_reset).
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    /// The LUN list of pathinfo records, newest first; nullptr until a load.
    /// The store's own: the floors above walk it (file_walk_start).
    struct dlist *luns = nullptr;
    /// The file that conf_getPrio and conf_setPrio save to.
    char file[PATH_MAX] = "";
    /// Resolutions store nothing: save_config writes nothing and fails (a
    /// run that could not take the lock reads the file and leaves it).
    bool read_only = false;
    /// The run lock that every save must still hold (store/run sets it for
    /// a run under the lock): nothing is written once the lock file's name
    /// no longer leads to the file locked (disk_replace). nullptr: no lock
    /// is looked at (the store's own tests).
    const LockFile *held = nullptr;
    /// For tests only: how the file's bytes are read (nullptr: read(2)
    /// whole).
    const FdReader *test_reader = nullptr;
    /// What the store keeps of the file it read, and its scratch records.
    alignas(std::max_align_t) unsigned char inside[kStoreInsideBytes];
};



/// Frees everything the store holds: its list with all records (any pointer
/// into it dies) and what the last load_config kept of the file. Afterwards
/// load_config starts as in a fresh store; a store that serves many requests
/// is reset after each one.
void store_reset(Store *store);
/// Frees the list with all its records, and keeps what the last load_config
/// read of the file, for resolve_peek.
void store_drop_records(Store *store);

/// True when a list has been loaded (or made) and not dropped since.
bool store_loaded(const Store *store);
/// One step of a walk over the store's list.
enum WalkStep { kWalkRecord, kWalkEnd, kWalkNull };
