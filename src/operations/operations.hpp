// The three path operations that both front ends call, and the default rule.
#pragma once

struct pathinfo;

/// Default priority 1..4 of a path: the LUN's four ports get 1..4, rotated by
/// lunref so that consecutive LUNs prefer alternate controllers.
int defaultPrio(int cp, int lunref);

/// The step between a successful probe and everything that reads the LUN
/// list: the front end takes the run lock and loads the preference file
/// there, so that a slow device is never waited for under the lock. 0 to go
/// on; negative to give up, and the operation then returns kNoStore without
/// printing anything. A null gate goes on with the list as it stands.
using StoreGate = int (*)();

/// What an operation returns when its gate gave up.
inline constexpr int kNoStore = -3;

/// Priority of the path (1..8); 0 when the path cannot be probed; kNoStore.
/// The store's load in the gate serves the probed LUN alone (conf_load_for),
/// as in setPrio and getAlias.
int getPrio(const char *dev, StoreGate gate = nullptr);
/// getPrio in its two halves, for a caller that probes outside its own
/// serialisation: the probe of `dev` into a fresh record (*rec, nullptr
/// when out of memory) with its traces; the probe's result.
int getPrioProbe(const char *dev, pathinfo **rec);
/// The rest of getPrio for what getPrioProbe gave (rec is released here):
/// the gate, the resolution, the traces, the result.
int getPrioResolve(const char *dev, pathinfo *rec, int rc, StoreGate gate);
/// Applies and reports an override or reset. 0 applied; -1 refused; -2 probe
/// failed or not saved; kNoStore.
int setPrio(const char *dev, const char *prio_text, StoreGate gate = nullptr);
/// Prints "alias wwid". 0 printed; -1 probe failed or no alias; kNoStore.
int getAlias(const char *dev, StoreGate gate = nullptr);
