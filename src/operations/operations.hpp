// The three path operations that every front end runs through its run's
// life (store/run.hpp run_life): the probe of a device node, a step before
// the lock (so that a slow device is never waited for under it), which
// names the probed path for the run's entry; then, under the lock, the
// resolution of the path and its result printed.
#pragma once

struct StoreRun;
struct pathinfo;

/// What an operation returns when its run could not be entered (the lock not
/// had in time, or unusable): nothing was printed.
inline constexpr int kNoStore = -3;

enum class PathOp { kGetPrio, kSetPrio, kGetAlias };

/// One operation on a path, from its probe to its result: what was asked,
/// and the record the probe fills, owned until the call ends (on the heap,
/// not on the stack of the daemon's threads).
struct PathCall {
    PathOp op;
    const char *dev;
    const char *prio_text = nullptr;  ///< kSetPrio: the preference asked for
    unsigned probe_ms = 0;  ///< kGetPrio: each probe command's bound (0: the default)
    int *stored = nullptr;  ///< kSetPrio: the priority the path now has, once applied
    pathinfo *rec = nullptr;
    int probed = -1;  ///< grelt_info's result
    PathCall(PathOp what, const char *node) : op(what), dev(node) {}
    PathCall(const PathCall &) = delete;
    PathCall &operator=(const PathCall &) = delete;
    ~PathCall();
};

/// The operation's step before the lock: the probe, traced as the operation
/// always has. run->probed becomes the path identified, or nullptr.
void path_probe(StoreRun *run, PathCall *call);

/// The operation's step under the lock (the run entered for the probed LUN,
/// or not: the result says why). getPrio: the path's priority (1..8); 0 when
/// it cannot be probed; kNoStore. setPrio: applies and reports an override
/// or reset: 0 applied; -1 refused; -2 probe failed or not saved; kNoStore;
/// when applied, *stored (if given) is the priority the path now has: the
/// override, or its default after a reset. getAlias: prints "alias wwid";
/// 0 printed; -1 probe failed or no alias; kNoStore.
int path_result(StoreRun *run, PathCall *call);

/// The default priority (1..4) of port `cp` of a stored LUN, whose record
/// keeps no lunref: from a path of the LUN stored with its default (the four
/// ports' defaults are one rotation), or else from a probe of the LUN's
/// stored device nodes that still answer for its wwid. 0 when neither tells.
int storedDefaultPrio(const pathinfo *rec, int cp);
