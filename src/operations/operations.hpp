// The three path operations that every front end calls. Each probes a device
// node, resolves the path against a store and prints its result.
#pragma once

struct Store;
struct pathinfo;

/// The step between a successful probe and everything that reads the store:
/// the front end takes the run lock and loads the preference file there, so
/// that a slow device is never waited for under the lock. The operation
/// names the one LUN the load serves (store_load_for) before it calls `enter`
/// with the front end's own `context`. 0 to go on; negative to give up, and
/// the operation then returns kNoStore without printing anything. Without
/// `enter` the operation goes on with the store as it stands.
struct StoreGate {
    int (*enter)(void *context, Store *store) = nullptr;
    void *context = nullptr;
};

/// What an operation returns when its gate gave up.
inline constexpr int kNoStore = -3;

/// Priority of the path (1..8); 0 when the path cannot be probed; kNoStore.
int getPrio(Store *store, const char *dev, StoreGate gate = {});
/// getPrio in its two halves, for a caller that probes outside its own
/// serialisation: the probe of `dev` into a fresh record (*rec, nullptr
/// when out of memory) with its traces; the probe's result.
int getPrioProbe(const char *dev, pathinfo **rec);
/// The rest of getPrio for what getPrioProbe gave (rec is released here):
/// the gate, the resolution, the traces, the result.
int getPrioResolve(Store *store, const char *dev, pathinfo *rec, int rc, StoreGate gate);
/// Applies and reports an override or reset. 0 applied; -1 refused; -2 probe
/// failed or not saved; kNoStore. When applied, *stored (if given) is the
/// priority the path now has: the override, or its default after a reset.
int setPrio(Store *store, const char *dev, const char *prio_text, StoreGate gate = {},
            int *stored = nullptr);
/// Prints "alias wwid". 0 printed; -1 probe failed or no alias; kNoStore.
int getAlias(Store *store, const char *dev, StoreGate gate = {});
