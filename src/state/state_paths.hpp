// The state that survives between runs: one directory, a preference file and
// a lock file in it. Named here once for the whole library.
#pragma once

inline constexpr const char *kStateDir = "/etc/lvm/cache";
inline constexpr const char *kConfigPath = "/etc/lvm/cache/tald.conf";
inline constexpr const char *kLockPath = "/etc/lvm/cache/tald.lock";
/// What a drain of a controller changed, kept until the restore gives it
/// back: only tald's drain writes it and only its restore reads it.
inline constexpr const char *kDrainPath = "/etc/lvm/cache/tald.drained";
/// Where a fresh lock file is made before it is renamed over one that others
/// could open (state/lock_file.cpp).
inline constexpr const char *kFreshLockPath = "/etc/lvm/cache/tald.lock.new";
