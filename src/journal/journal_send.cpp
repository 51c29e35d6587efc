#include "journal/journal_send.hpp"

#include "base/fd_guard.hpp"
#include "base/status.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

/// The longest formatted value.
constexpr std::size_t kValueMax = 1024;

/// Adds `len` bytes to the entry, which the caller has made room for.
void append(JournalEntry *entry, const void *bytes, std::size_t len)
{
    std::memcpy(entry->bytes + entry->len, bytes, len);
    entry->len += len;
}

}  // namespace

void journal_field(JournalEntry *entry, const char *key, const char *value)
{
    std::size_t key_len = std::strlen(key);
    std::size_t value_len = std::strlen(value);
    bool binary = std::memchr(value, '\n', value_len) != nullptr;
    // KEY=value\n, or KEY\n, 8 bytes of length, value\n.
    std::size_t need = key_len + value_len + (binary ? 10 : 2);
    if (need > kJournalEntrySize - entry->len) {
        entry->cut = true;
        return;
    }
    append(entry, key, key_len);
    if (binary) {
        append(entry, "\n", 1);
        unsigned char size[8];
        for (int i = 0; i < 8; ++i)
            size[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(value_len) >> (8 * i));
        append(entry, size, sizeof size);
    } else {
        append(entry, "=", 1);
    }
    append(entry, value, value_len);
    append(entry, "\n", 1);
}

void journal_fieldf(JournalEntry *entry, const char *key, const char *format, ...)
{
    char value[kValueMax];
    va_list args;
    va_start(args, format);
    std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    journal_field(entry, key, value);
}

int journal_send(const JournalEntry &entry, const char *socket_path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(socket_path) >= sizeof address.sun_path)
        return -ENAMETOOLONG;
    std::memcpy(address.sun_path, socket_path, std::strlen(socket_path) + 1);
    FdGuard fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (fd.fd < 0)
        return status_from_errno();
    ssize_t sent = sendto(fd.fd, entry.bytes, entry.len, MSG_DONTWAIT | MSG_NOSIGNAL,
                          reinterpret_cast<const sockaddr *>(&address), sizeof address);
    if (sent < 0)
        return status_from_errno();
    return static_cast<std::size_t>(sent) == entry.len ? 0 : -EMSGSIZE;
}

JournalTold journal_or_syslog(const JournalEntry &entry, const char *socket_path, int priority,
                              const char *message)
{
    int saved = errno;
    int rc = journal_send(entry, socket_path);
    // A journal that is there but full would make syslog's blocking send
    // wait with it, under the caller's lock: the entry is dropped instead.
    JournalTold told = rc == 0 ? kToldJournal : rc == -EAGAIN ? kToldDropped : kToldSyslog;
    if (told == kToldSyslog)
        syslog(LOG_DAEMON | priority, "%s", message);
    errno = saved;
    return told;
}
