#include "command/look/look_state.hpp"

#include "base/fd_guard.hpp"
#include "base/fd_io.hpp"
#include "base/status.hpp"
#include "base/text.hpp"
#include "state/atomic_replace.hpp"
#include "state/lock_wait.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kLookNew = "look.new";
/// Every 50 ms.
constexpr LockPace kLockPace = {50000000L, 50000000L};

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

/// Reads the open regular file `fd` whole into *text (NUL-terminated).
int read_whole(int fd, GrowArray<char> *text)
{
    struct stat st = {};
    if (fstat(fd, &st) != 0)
        return status_from_errno();
    if (!S_ISREG(st.st_mode))
        return -EINVAL;
    return fd_read_all(fd, {kLookStateMax, static_cast<std::size_t>(st.st_size)}, text);
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
        rc = lock_flock_within(fd.fd, kLookLockMs, kLockPace);
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
    if (int rc = fd_write_all(fd.fd, text.items, text.size()); rc != 0) {
        unlinkat(place.dir_fd, kLookNew, 0);
        return rc;
    }
    ReplaceResult r = replace_commit(place.dir_fd, kLookNew, kLookFile, fd.release(), nullptr);
    return r.error;
}
