#include "journal/journal_path.hpp"

#include "base/priority.hpp"
#include "base/text.hpp"
#include "journal/journal_send.hpp"

#include <syslog.h>

#include <cstdio>
#include <cstring>

const char *const kJournalMessageIds[kJournalKinds] = {
    "0ce403e8940248dba4454d3455be3c7f",  // set
    "5ef124f0c17a438aa8e5cdbadc157334",  // reset
    "6deb9c401ec24ceb9f793d37a20edb5c",  // apply
    "497da4bfb1114e13ae70c7fe116a7fa4",  // drain
    "ef79a2d40e644122944f89eead484627",  // restore
    "f59cf751e03b4f7998c3d6bba04dc167",  // left the preferred group
    "da3d54cdb82b4107ab3daac2ae504455",  // returned to it
    "07e2dbaa980b4de48ac0e56b3b92558f",  // the plugin: a path
    "366307987c914f4b9afdac4fa2634272",  // the plugin: its state
};

namespace {

constexpr const char *kCommands[kJournalKinds] = {
    "set", "reset", "apply", "drain", "restore", "look", "look", "plugin", "plugin",
};

constexpr const char *kFmtChange = "tald %s: %s %s %s %s %d:%d:%d:%d: priority %d -> %d%s";
constexpr const char *kFmtLeft =
    "tald: %s %s left its preferred path group; I/O goes through %s (%s)";
constexpr const char *kFmtReturned =
    "tald: %s %s is back on its preferred path group %s (%s)";

/// The fields every entry of a LUN carries, and its names shown safely.
struct LunNames {
    char alias[kTextNameSize];
    char wwid[kWwidSize];
};

void lun_fields(JournalEntry *e, const pathinfo &rec, JournalKind kind, LunNames *names)
{
    shown_name(rec.text_name, names->alias, sizeof names->alias);
    shown_name(rec.wwid, names->wwid, sizeof names->wwid);
    journal_field(e, "MESSAGE_ID", kJournalMessageIds[kind]);
    journal_field(e, "SYSLOG_IDENTIFIER", "tald");
    journal_fieldf(e, "SYSLOG_FACILITY", "%d", LOG_DAEMON >> 3);
    journal_field(e, "TALD_WWID", names->wwid);
    journal_field(e, "TALD_ALIAS", names->alias);
    journal_field(e, "TALD_COMMAND", kCommands[kind]);
}

}  // namespace

namespace {

/// One path's change, its address given.
void change_entry(const pathinfo &rec, int cp, const char *device, const int address[4],
                  int before, int after, JournalKind kind, const char *socket_path)
{
    JournalEntry e;
    LunNames names;
    char dev[kDevSize];
    shown_name(device, dev, sizeof dev);
    // The names first: the message reads them.
    lun_fields(&e, rec, kind, &names);
    char message[1024];
    std::snprintf(message, sizeof message, kFmtChange, kCommands[kind], names.alias, names.wwid,
                  cp_names[cp], dev, address[0], address[1], address[2], address[3], before,
                  after, is_override(after) ? "" : " (default)");
    journal_field(&e, "MESSAGE", message);
    journal_field(&e, "PRIORITY", "5");
    journal_fieldf(&e, "TALD_CONTROLLER", "C%d", cp / 2);
    journal_field(&e, "TALD_PORT", cp_names[cp]);
    journal_field(&e, "TALD_DEVICE", dev);
    journal_fieldf(&e, "TALD_SCSI", "%d:%d:%d:%d", address[0], address[1], address[2],
                   address[3]);
    journal_fieldf(&e, "TALD_PRIO_BEFORE", "%d", before);
    journal_fieldf(&e, "TALD_PRIO_AFTER", "%d", after);
    journal_or_syslog(e, socket_path, LOG_NOTICE, message);
}

}  // namespace

void journal_path_change(const pathinfo &rec, int cp, int slot, int before, int after,
                         JournalKind kind, const char *socket_path)
{
    const int address[4] = {rec.slot_host[cp][slot], rec.slot_channel[cp][slot],
                            rec.slot_id[cp][slot], rec.slot_lun[cp][slot]};
    change_entry(rec, cp, rec.slot_dev[cp][slot], address, before, after, kind, socket_path);
}

void journal_probed_change(const pathinfo &probed, int before, int after, JournalKind kind,
                           const char *socket_path)
{
    if (!valid_cp(probed.cp))
        return;
    const int address[4] = {probed.host, probed.channel, probed.id, probed.lun};
    change_entry(probed, probed.cp, probed.dev, address, before, after, kind, socket_path);
}

void journal_lun_group(const pathinfo &rec, JournalKind kind, const GroupInUse &group,
                       const char *socket_path)
{
    const char *ports = group.ports;
    JournalEntry e;
    LunNames names;
    lun_fields(&e, rec, kind, &names);
    char message[1024];
    bool left = kind == kJournalLeft;
    std::snprintf(message, sizeof message, left ? kFmtLeft : kFmtReturned, names.alias,
                  names.wwid, ports, group.paths);
    journal_field(&e, "MESSAGE", message);
    journal_field(&e, "PRIORITY", left ? "4" : "5");
    // The controller of the group in use: both when its ports span both.
    bool c0 = std::strstr(ports, "C0") != nullptr;
    bool c1 = std::strstr(ports, "C1") != nullptr;
    journal_field(&e, "TALD_CONTROLLER", c0 && c1 ? "C0 C1" : c0 ? "C0" : c1 ? "C1" : "");
    journal_field(&e, "TALD_PORT", ports);
    journal_field(&e, "TALD_GROUP", left ? "other" : "preferred");
    journal_field(&e, "TALD_DEVICE", group.devices);
    journal_field(&e, "TALD_SCSI", group.addresses);
    journal_field(&e, "TALD_GROUP_PATHS", group.paths);
    journal_or_syslog(e, socket_path, left ? LOG_WARNING : LOG_NOTICE, message);
}

void journal_plugin_line(JournalKind kind, int priority, const char *device, const char *file,
                         const char *message, const char *socket_path)
{
    JournalEntry e;
    journal_field(&e, "MESSAGE_ID", kJournalMessageIds[kind]);
    journal_field(&e, "MESSAGE", message);
    journal_fieldf(&e, "PRIORITY", "%d", priority);
    journal_fieldf(&e, "SYSLOG_FACILITY", "%d", LOG_DAEMON >> 3);
    journal_field(&e, "TALD_COMMAND", kCommands[kind]);
    if (device != nullptr) {
        char dev[kDevSize];
        journal_field(&e, "TALD_DEVICE", shown_name(device, dev, sizeof dev));
    }
    if (file != nullptr)
        journal_field(&e, "TALD_FILE", file);
    journal_or_syslog(e, socket_path, priority, message);
}
