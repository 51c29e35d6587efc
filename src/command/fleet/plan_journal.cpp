#include "command/fleet/plan_journal.hpp"

#include "command/fleet/fleet.hpp"
#include "journal/journal_send.hpp"

void plan_journal(const FleetPlan &plan, JournalKind kind)
{
    for (std::size_t i = 0; i < plan.changes.size(); ++i) {
        const PathChange &c = plan.changes[i];
        journal_path_change(*c.rec, c.cp, c.slot, c.from, c.to, kind, kJournalSocket);
    }
}
