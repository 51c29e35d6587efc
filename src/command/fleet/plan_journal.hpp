// A fleet command's changes to the journal: one entry per path of the plan,
// once the plan is carried out and saved.
#pragma once

#include "journal/journal_path.hpp"

struct FleetPlan;

/// One entry of `kind` (kJournalApply, kJournalDrain, kJournalRestore) per
/// changed path of `plan`, to the system journal or syslog.
void plan_journal(const FleetPlan &plan, JournalKind kind);
