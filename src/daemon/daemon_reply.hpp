// What multipathd answers on its socket, read into plain records. Two
// replies are read: the rows of `show paths format` with the wildcards of
// kPathsCommand, and the path groups of `show maps json` (or `show map NAME
// json`), the only reply that tells which path group is the active one: no
// path or map wildcard of any release from 0.8.5 to 0.15.1 prints it.
//
// Pure functions over (text, length): nothing in a reply is trusted. A line
// that does not read as a row of the format is skipped (the header among
// them), a field too long for its record makes the row unreadable, and the
// JSON is walked to a bounded depth without recursion.
#pragma once

#include <cstddef>

/// The command whose rows daemon_path_row reads. Every release from 0.8.5
/// on knows each wildcard: %d the sysfs name, %D major:minor, %i the SCSI
/// address h:c:t:l ("#:#:#:#" when unknown), %w the uuid (the wwid), %p the
/// priority, %T the checker's state, %t the path's state in device-mapper,
/// %m the map. No blank: the daemon splits its commands at blanks.
inline constexpr const char *kPathsCommand = "show paths format %d|%D|%i|%w|%p|%T|%t|%m";

inline constexpr std::size_t kDaemonDevSize = 32;
inline constexpr std::size_t kDaemonWwidSize = 128;
inline constexpr std::size_t kDaemonStateSize = 16;
inline constexpr std::size_t kDaemonMapSize = 128;

/// The state of the path's group as the daemon's JSON gives it (its
/// dm_st, from the kernel's status of the map).
enum DaemonGroup {
    kGroupUnknown = 0,  ///< no JSON asked, the path in no map's group, or "undef"
    kGroupActive,       ///< "active": the group the kernel sends I/O to
    kGroupEnabled,      ///< "enabled": usable; a map that has seen no I/O since
                        ///< its table was loaded has no active group yet
    kGroupDisabled,     ///< "disabled": bypassed
    kGroupNotRead,      ///< its map's groups were asked and not read: the
                        ///< reply was a refusal, cut short or not JSON
};

/// One path as multipathd holds it. The texts are the reply's own bytes,
/// NUL-terminated where they stand (daemon_path_row): a row costs its own
/// length and this record, whatever the fields' limits.
struct DaemonPath {
    const char *dev;  ///< "sdc": shorter than kDaemonDevSize
    unsigned major;
    unsigned minor;
    int host, channel, id, lun;  ///< the SCSI address; -1 each when unknown
    const char *wwid;            ///< shorter than kDaemonWwidSize
    int prio;                    ///< as the daemon prints it (-1: none)
    const char *checker;         ///< "ready", "faulty", "i/o pending", ...
    const char *dm_state;        ///< "active", "failed", "undef"
    const char *map;             ///< the map's name, "[orphan]" without
    DaemonGroup group;
};

/// The next line of `text` from *pos on, without its line feed; false at
/// the end.
bool daemon_next_line(const char *text, std::size_t len, std::size_t *pos, const char **line,
                      std::size_t *line_len);

/// One line of the kPathsCommand reply into *out (group kGroupUnknown):
/// true when it holds the eight fields, with a name, a major:minor, an
/// h:c:t:l (or "#:#:#:#") and a priority that read as numbers, and texts
/// that fit their limits. Blanks that pad a field are dropped. Only a row
/// is changed: each field is ended by a NUL in place (over its bar or
/// padding, and line[len], the line feed or the NUL after the text, which
/// must be writable), and *out points into it.
bool daemon_path_row(char *line, std::size_t len, DaemonPath *out);

/// How many lines of `text` read as rows; nothing is changed.
std::size_t daemon_row_count(const char *text, std::size_t len);

/// Whether a reply is the daemon's refusal rather than an answer: "fail",
/// "timeout" or an error text in place of the rows.
bool daemon_reply_failed(const char *text, std::size_t len);

/// What daemon_groups finds: one call per path object of a path group.
struct GroupVisitor {
    /// `dev` (NUL-terminated) is in a group whose dm_st is `group`'s.
    void (*path)(void *context, const char *dev, DaemonGroup group);
    void *context;
};

/// Walks a `show maps json` or `show map NAME json` reply: every object in
/// "paths" of an object in "path_groups" is a path, its "dev" the name, and
/// the group's "dm_st" (printed before its paths) the group's state. 0 when
/// the text is one object walked to its end; -1 when it is not (a refusal
/// word, nothing, a cut, text after the object): what was visited before
/// stays visited, and the caller must not take it as the daemon's view.
int daemon_groups(const char *text, std::size_t len, const GroupVisitor &visitor);
