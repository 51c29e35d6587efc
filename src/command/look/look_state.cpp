#include "command/look/look_state.hpp"

#include "base/clock.hpp"
#include "base/fd_guard.hpp"
#include "base/status.hpp"
#include "base/text.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *kLookNew = "look.new";
constexpr int kLockPollMs = 50;

int by_wwid(const void *a, const void *b)
{
    return std::strcmp(static_cast<const LookLine *>(a)->wwid,
                       static_cast<const LookLine *>(b)->wwid);
}

/// Whether the directory open as `fd` is this user's alone.
int dir_trusted(int fd)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return status_from_errno();
    if (!S_ISDIR(st.st_mode))
        return -ENOTDIR;
    return st.st_uid == geteuid() && (st.st_mode & 022) == 0 ? 0 : -EPERM;
}

int lock_within(int fd, int bound_ms)
{
    long long deadline = monotonic_ms() + bound_ms;
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK || monotonic_ms() >= deadline)
            return errno == EWOULDBLOCK ? -ETIMEDOUT : status_from_errno();
        timespec pause = {0, kLockPollMs * 1000000L};
        nanosleep(&pause, nullptr);
    }
}

/// Reads the open regular file `fd` whole into *text (NUL-terminated).
int read_whole(int fd, GrowArray<char> *text)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return status_from_errno();
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    for (;;) {
        if (!text->reserve(text->size() + 4097))
            return -ENOMEM;
        ssize_t got = read(fd, text->items + text->count, 4096);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return status_from_errno();
        if (got == 0)
            break;
        text->count += static_cast<std::size_t>(got);
        if (text->size() > kLookStateMax)
            return -EFBIG;
    }
    text->items[text->count] = '\0';
    return 0;
}

/// One line "WWID P" or "WWID O" into *line; false when it is not one.
bool parse_line(const char *text, std::size_t len, LookLine *line)
{
    if (len < 3 || len - 2 >= kWwidSize || text[len - 2] != ' ')
        return false;
    char side = text[len - 1];
    if (side != kSidePreferred && side != kSideOther)
        return false;
    for (std::size_t i = 0; i < len - 2; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c <= ' ' || c >= 0x7f)
            return false;
    }
    std::memcpy(line->wwid, text, len - 2);
    line->wwid[len - 2] = '\0';
    line->side = static_cast<LookSide>(side);
    return true;
}

}  // namespace

int look_place_open(LookPlace *place, const char *dir)
{
    if (mkdir(dir, 0700) != 0 && errno != EEXIST)
        return status_from_errno();
    FdGuard fd(open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.fd < 0)
        return status_from_errno();
    int rc = dir_trusted(fd.fd);
    if (rc == 0)
        rc = lock_within(fd.fd, kLookLockMs);
    if (rc != 0)
        return rc;
    place->dir_fd = fd.release();
    return 0;
}

void look_place_close(LookPlace *place)
{
    FdGuard closed(place->dir_fd);
    place->dir_fd = -1;
}

int look_state_read(const LookPlace &place, GrowArray<LookLine> *lines, std::size_t *bad_line)
{
    *bad_line = 0;
    lines->clear();
    // Never blocks on a FIFO planted there, never follows a link.
    FdGuard fd(openat(place.dir_fd, kLookFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.fd < 0)
        return errno == ENOENT ? 0 : status_from_errno();
    GrowArray<char> text;
    GrowArrayFreed<char> text_freed{&text};
    int rc = read_whole(fd.fd, &text);
    if (rc != 0)
        return rc;
    std::size_t pos = 0;
    for (std::size_t number = 1; pos < text.size(); ++number) {
        const char *start = text.items + pos;
        const char *end = static_cast<const char *>(std::memchr(start, '\n', text.size() - pos));
        LookLine line = {};
        if (end == nullptr || !parse_line(start, static_cast<std::size_t>(end - start), &line)) {
            *bad_line = number;
            lines->clear();
            return -EINVAL;
        }
        if (!lines->append(line))
            return -ENOMEM;
        pos = static_cast<std::size_t>(end - text.items) + 1;
    }
    if (lines->size() > 1)
        std::qsort(lines->items, lines->size(), sizeof(LookLine), by_wwid);
    return 0;
}

LookSide look_state_find(const GrowArray<LookLine> &lines, const char *wwid)
{
    // No kept state: no array to search (bsearch takes no null base).
    if (lines.size() == 0)
        return kSideUnseen;
    LookLine key = {};
    copy_field(key.wwid, sizeof key.wwid, wwid);
    const auto *found = static_cast<const LookLine *>(
        std::bsearch(&key, lines.items, lines.size(), sizeof(LookLine), by_wwid));
    return found != nullptr ? found->side : kSideUnseen;
}

int look_state_write(const LookPlace &place, const GrowArray<LookLine> &lines)
{
    GrowArray<char> text;
    GrowArrayFreed<char> text_freed{&text};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const LookLine &line = lines[i];
        std::size_t len = std::strlen(line.wwid);
        const char tail[3] = {' ', static_cast<char>(line.side), '\n'};
        if (!text.append_all(line.wwid, len) || !text.append_all(tail, sizeof tail))
            return -ENOMEM;
    }
    // The directory is this user's alone: the new name is ours to remove.
    if (unlinkat(place.dir_fd, kLookNew, 0) != 0 && errno != ENOENT)
        return status_from_errno();
    FdGuard fd(openat(place.dir_fd, kLookNew,
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.fd < 0)
        return status_from_errno();
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd.fd, text.items + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0) {
            int rc = status_from_errno();
            unlinkat(place.dir_fd, kLookNew, 0);
            return rc;
        }
        done += static_cast<std::size_t>(put);
    }
    if (fd.close_now() != 0 || renameat(place.dir_fd, kLookNew, place.dir_fd, kLookFile) != 0) {
        int rc = status_from_errno();
        unlinkat(place.dir_fd, kLookNew, 0);
        return rc;
    }
    return 0;
}
