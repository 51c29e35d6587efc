// The three path operations that both front ends call, and the default rule.
#pragma once

/// Default priority 1..4 of a path: the LUN's four ports get 1..4, rotated by
/// lunref so that consecutive LUNs prefer alternate controllers.
int defaultPrio(int cp, int lunref);

/// Priority of the path (1..8); 0 when the path cannot be probed.
int getPrio(const char *dev);
/// Applies and reports an override or reset. 0 applied; -1 refused; -2 probe
/// failed or not saved.
int setPrio(const char *dev, const char *prio_text);
/// Prints "alias wwid". 0 printed; -1 probe failed or no alias.
int getAlias(const char *dev);
