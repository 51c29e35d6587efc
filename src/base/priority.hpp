// The priority rule: the default rotation of a LUN's four ports, and the
// values an administrator may store. Every floor above asks here.
#pragma once

/// The stored priorities an administrator may set, and the request that
/// resets a path to its default.
inline constexpr int kOverrideLow = 5;
inline constexpr int kOverrideHigh = 8;
inline constexpr int kResetValue = 0;

/// True for a stored administrator's override (5..8).
inline bool is_override(int prio) { return prio >= kOverrideLow && prio <= kOverrideHigh; }

/// Default priority 1..4 of a path: the LUN's four ports get 1..4, rotated by
/// lunref so that consecutive LUNs prefer alternate controllers.
int defaultPrio(int cp, int lunref);
