// The three path operations that every front end calls. Each probes a device
// node, enters the front end's run of the store for the probed LUN (so that
// a slow device is never waited for under the lock), resolves the path and
// prints its result. The run stays entered: the front end leaves it.
#pragma once

struct StoreRun;

/// What an operation returns when its run could not be entered (the lock not
/// had in time, or unusable): nothing was printed.
inline constexpr int kNoStore = -3;

/// Priority of the path (1..8); 0 when the path cannot be probed; kNoStore.
int getPrio(StoreRun *run, const char *dev);
/// getPrio with each command of the probe given `probe_ms` (0: the default)
/// to complete: for a caller with a bound of its own (the prioritizer).
int getPrio(StoreRun *run, const char *dev, unsigned probe_ms);
/// Applies and reports an override or reset. 0 applied; -1 refused; -2 probe
/// failed or not saved; kNoStore. When applied, *stored (if given) is the
/// priority the path now has: the override, or its default after a reset.
int setPrio(StoreRun *run, const char *dev, const char *prio_text, int *stored = nullptr);
/// Prints "alias wwid". 0 printed; -1 probe failed or no alias; kNoStore.
int getAlias(StoreRun *run, const char *dev);

struct pathinfo;

/// The default priority (1..4) of port `cp` of a stored LUN, whose record
/// keeps no lunref: from a path of the LUN stored with its default (the four
/// ports' defaults are one rotation), or else from a probe of the LUN's
/// stored device nodes that still answer for its wwid. 0 when neither tells.
int storedDefaultPrio(const pathinfo *rec, int cp);
