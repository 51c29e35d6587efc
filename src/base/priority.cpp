#include "base/priority.hpp"

#include "trace/trace.hpp"

namespace {
constexpr int kLineDefaultPrio = 27;
}  // namespace

int defaultPrio(int cp, int lunref)
{
    // The two low bits of lunref, swapped, shift the port rotation: four
    // consecutive LUNs put their highest default on four different ports,
    // alternating between the controllers.
    int prio = ((cp + 2 * lunref + ((lunref / 2) % 2)) % 4) + 1;
    log_trace(kLineDefaultPrio, 7, "defaultPrio: %d", prio);
    return prio;
}
