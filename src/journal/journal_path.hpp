// The entries tald and the plugin write to the journal, one message id per
// kind (debian/quelvane-path-manager.catalog explains each): a path's stored
// priority changed by a command, a LUN that left or returned to its
// preferred path group, and the plugin's own warnings. Every entry of a path
// or LUN carries the same fields, named for a query (`journalctl
// TALD_WWID=...`): TALD_WWID, TALD_ALIAS, TALD_CONTROLLER, TALD_PORT,
// TALD_DEVICE, TALD_SCSI, TALD_PRIO_BEFORE, TALD_PRIO_AFTER, TALD_COMMAND;
// a look's entries TALD_GROUP and TALD_GROUP_PATHS instead of the
// priorities. Names in the MESSAGE are shown safely, as tald prints them.
#pragma once

#include "base/pathinfo.hpp"

#include <cstddef>

/// What made an entry; its index names its message id and its command.
enum JournalKind {
    kJournalSet,       ///< "tald --prio --set PATH 5..8"
    kJournalReset,     ///< "tald --prio --set PATH 0"
    kJournalApply,     ///< "tald --apply"
    kJournalDrain,     ///< "tald --drain"
    kJournalRestore,   ///< "tald --restore"
    kJournalLeft,      ///< the look: a LUN's I/O left its preferred group
    kJournalReturned,  ///< the look: it is back on its preferred group
    kJournalPathWarning,   ///< the plugin: a path it cannot answer for
    kJournalStateWarning,  ///< the plugin: state it cannot write or trust
    kJournalKinds,
};

/// The message id of each kind, 32 hex digits: fixed for good, the catalog
/// and admins' queries name them.
extern const char *const kJournalMessageIds[kJournalKinds];

/// One path's stored priority as a command changed it: `rec` the LUN's
/// record, `cp` and `slot` the path's port and slot, `before` and `after`
/// its priorities. Sent to the journal at `socket_path`, or syslog.
void journal_path_change(const pathinfo &rec, int cp, int slot, int before, int after,
                         JournalKind kind, const char *socket_path);

/// The path group a LUN's I/O goes through, as its entry names it.
struct GroupInUse {
    char ports[32];       ///< "C1P0 C1P1"
    char devices[320];    ///< "sdf sdh"
    char addresses[320];  ///< "3:0:0:1 4:0:0:1"
    char paths[640];      ///< "C1P0 sdf 3:0:0:1, C1P1 sdh 4:0:0:1"
};

/// The same for the path a probe filled `probed` with (its dev, cp and
/// SCSI address): "tald --prio --set".
void journal_probed_change(const pathinfo &probed, int before, int after, JournalKind kind,
                           const char *socket_path);

/// A LUN that left (kJournalLeft) or returned to (kJournalReturned) its
/// preferred path group, now on `group`.
void journal_lun_group(const pathinfo &rec, JournalKind kind, const GroupInUse &group,
                       const char *socket_path);

/// The plugin's warning or notice `message` (as syslog has it, `priority`
/// LOG_WARNING or LOG_NOTICE): of the path `device` (kJournalPathWarning),
/// or of its state in `file` (kJournalStateWarning; `device` nullptr).
void journal_plugin_line(JournalKind kind, int priority, const char *device, const char *file,
                         const char *message, const char *socket_path);
