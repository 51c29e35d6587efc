// One structured entry for the system journal, written the way journald reads
// its own native clients: "KEY=value\n" fields in one datagram on its socket,
// a value that holds a line feed as the key, a line feed, its length in 64
// bits little-endian, the value and a line feed. No library of systemd is
// linked: the plugin runs inside multipathd and loads on every C library from
// 2.17 on. Where no journal listens (a container, the initramfs), the entry's
// MESSAGE goes to syslog instead, as every line did before there were entries.
//
// An entry is a fixed record: fields that do not fit are left out whole and
// the entry says so in its `cut` flag, never half a field. It is sent without
// waiting (a full journal takes the syslog line), from a descriptor opened
// close-on-exec and closed before the call returns; nothing is written on
// the caller's standard output or error, and no signal is raised (EPIPE
// comes back as a status). A journal that is full drops the entry rather
// than keep the caller waiting.
#pragma once

#include <cstddef>

/// Where journald takes native entries.
inline constexpr const char *kJournalSocket = "/run/systemd/journal/socket";

/// The bytes of one entry; well below the smallest datagram the socket
/// takes, so that no entry needs the large-entry way of a passed memfd.
inline constexpr std::size_t kJournalEntrySize = 8192;

struct JournalEntry {
    char bytes[kJournalEntrySize];
    std::size_t len = 0;
    bool cut = false;  ///< a field did not fit and was left out
};

/// Adds KEY=value. `key` is upper-case letters, digits and "_", not
/// beginning with "_" (journald drops other names).
void journal_field(JournalEntry *entry, const char *key, const char *value);
/// Adds KEY=value with the value formatted (bounded: a value longer than
/// 1023 bytes is cut there).
void journal_fieldf(JournalEntry *entry, const char *key, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/// Sends the entry to the journal at `socket_path`: 0, or -errno (-ENOENT,
/// -ECONNREFUSED: no journal listens there; -EAGAIN: it is full).
int journal_send(const JournalEntry &entry, const char *socket_path);

/// Where an entry went.
enum JournalTold {
    kToldJournal,
    kToldSyslog,   ///< no journal listens: its message went to syslog
    kToldDropped,  ///< the journal is full: syslog's send would wait for the
                   ///< same journal, and the caller may hold the run lock
};

/// The entry to the journal at `socket_path`, or, when no journal listens
/// there, `message` to syslog at `priority` (LOG_DAEMON is added).
JournalTold journal_or_syslog(const JournalEntry &entry, const char *socket_path, int priority,
                              const char *message);
