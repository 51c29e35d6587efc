#include "command/output/out_file.hpp"

#include "base/clock.hpp"
#include "base/fd_guard.hpp"
#include "base/status.hpp"
#include "state/atomic_replace.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

/// The symlinks one way may follow, as the kernel bounds a path's.
constexpr int kMaxHops = 40;
/// The names tried for the new file before the replace gives up.
constexpr int kTempTries = 64;
/// ".NAME.XXXXXX" around the file's own name.
constexpr std::size_t kTempExtra = 8;
constexpr const char *kFmtRedirectable =
    "%s%s is a symlink that another user could have placed (in a directory of uid %u's, mode "
    "%04o)";
constexpr char kSuffixLetters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

/// A walk from / (or the working directory) to the file's directory: the
/// directory reached (an O_PATH descriptor), the way to it as walked (each
/// name followed by "/", for the reason), and the way still to go.
struct Way {
    FdGuard dir{-1};
    char reached[PATH_MAX];
    char rest[PATH_MAX];
    int hops;
};

constexpr int kDirOpen = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

/// Whether only root, or the user running tald, can change the entries of
/// the directory with these attributes.
bool closed_dir(const struct stat &st)
{
    return (st.st_uid == 0 || st.st_uid == geteuid()) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

/// Starts the walk at / (`absolute`) or at the working directory: 0, or
/// -errno.
int way_start(Way *w, bool absolute)
{
    w->dir.close_now();
    w->dir.fd = open(absolute ? "/" : ".", kDirOpen);
    std::snprintf(w->reached, sizeof w->reached, "%s", absolute ? "/" : "");
    return w->dir.fd < 0 ? status_from_errno() : 0;
}

/// Takes the next name off the way into `name`; false when none is left,
/// or when it is too long (*error: -ENAMETOOLONG).
bool next_name(Way *w, char (&name)[NAME_MAX + 1], int *error)
{
    char *rest = w->rest;
    while (*rest == '/')
        ++rest;
    std::size_t len = std::strcspn(rest, "/");
    if (len == 0)
        return false;
    if (len > NAME_MAX) {
        *error = -ENAMETOOLONG;
        return false;
    }
    std::memcpy(name, rest, len);
    name[len] = '\0';
    std::memmove(w->rest, rest + len, std::strlen(rest + len) + 1);
    return true;
}

/// Follows the symlink `name` of the directory reached, which `dir_st`
/// describes: its target goes before the rest of the way. 0, -EPERM with the
/// reason in `why` when another user could have placed it, or another -errno.
int follow(Way *w, const char *name, const struct stat &dir_st, char *why, std::size_t why_size)
{
    if (!closed_dir(dir_st)) {
        std::snprintf(why, why_size, kFmtRedirectable, w->reached, name,
                      static_cast<unsigned>(dir_st.st_uid),
                      static_cast<unsigned>(dir_st.st_mode & 07777));
        return -EPERM;
    }
    if (++w->hops > kMaxHops)
        return -ELOOP;
    char target[PATH_MAX];
    ssize_t len = readlinkat(w->dir.fd, name, target, sizeof target);
    if (len < 0)
        return status_from_errno();
    std::size_t rest_len = std::strlen(w->rest);
    auto n = static_cast<std::size_t>(len);
    if (n + 1 + rest_len >= sizeof w->rest)
        return -ENAMETOOLONG;
    std::memmove(w->rest + n + 1, w->rest, rest_len + 1);
    std::memcpy(w->rest, target, n);
    w->rest[n] = '/';
    return n > 0 && target[0] == '/' ? way_start(w, true) : 0;
}

/// One step of the walk: into the directory `name`, or along the symlink. 0,
/// or -errno.
int step(Way *w, const char *name, char *why, std::size_t why_size)
{
    int fd = openat(w->dir.fd, name, kDirOpen);
    if (fd >= 0) {
        w->dir.close_now();
        w->dir.fd = fd;
        std::size_t used = std::strlen(w->reached);
        std::snprintf(w->reached + used, sizeof w->reached - used, "%s/", name);
        return 0;
    }
    int error = status_from_errno();
    struct stat st;
    struct stat dir_st;
    if (fstatat(w->dir.fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
        return error;
    if (fstat(w->dir.fd, &dir_st) != 0)
        return status_from_errno();
    return follow(w, name, dir_st, why, why_size);
}

/// Walks to the directory of `file`, its own name left in `base`: 0, or
/// -errno.
int walk(Way *w, const char *file, char (&base)[NAME_MAX + 1], char *why, std::size_t why_size)
{
    const char *slash = std::strrchr(file, '/');
    const char *own = slash != nullptr ? slash + 1 : file;
    std::size_t dir_len = static_cast<std::size_t>(own - file);
    if (std::strlen(own) > NAME_MAX - kTempExtra || dir_len >= sizeof w->rest)
        return -ENAMETOOLONG;
    if (*own == '\0' || std::strcmp(own, ".") == 0 || std::strcmp(own, "..") == 0)
        return -EISDIR;
    std::memcpy(base, own, std::strlen(own) + 1);
    std::memcpy(w->rest, file, dir_len);
    w->rest[dir_len] = '\0';
    w->hops = 0;
    int error = way_start(w, file[0] == '/');
    char name[NAME_MAX + 1];
    while (error == 0 && next_name(w, name, &error)) {
        if (std::strcmp(name, ".") != 0)
            error = step(w, name, why, why_size);
    }
    return error;
}

/// Six letters that no other run is likely to pick.
void fill_suffix(char *x)
{
    unsigned char bytes[6];
    // The system call itself: the C library's wrapper came with 2.25, and
    // the programs ask for nothing newer than 2.17. 1 is GRND_NONBLOCK.
    if (syscall(SYS_getrandom, bytes, sizeof bytes, 1) != static_cast<long>(sizeof bytes)) {
        auto mix = static_cast<unsigned long long>(monotonic_ns() % 1000000000) ^
                   (static_cast<unsigned long long>(getpid()) << 20);
        for (unsigned char &b : bytes) {
            b = static_cast<unsigned char>(mix);
            mix >>= 7;
        }
    }
    for (std::size_t i = 0; i < sizeof bytes; ++i)
        x[i] = kSuffixLetters[bytes[i] % (sizeof kSuffixLetters - 1)];
}

/// A new file ".BASE.XXXXXX" in `dir`, mode 0600: its descriptor, or
/// -errno.
int open_temp(int dir, const char *base, char (&temp)[NAME_MAX + 1])
{
    for (int i = 0; i < kTempTries; ++i) {
        int len = std::snprintf(temp, sizeof temp, ".%s.XXXXXX", base);
        fill_suffix(temp + len - 6);
        int fd = openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return status_from_errno();
    }
    return -EEXIST;
}

/// Writes through `write` into the new file open at `fd`, by a stream of
/// its own (a duplicate, so that the file stays open for the replace). 0,
/// or -errno.
int write_through(int fd, void (*write)(FILE *out, void *context), void *context)
{
    FILE *out = nullptr;
    int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (dup >= 0 && (out = fdopen(dup, "w")) == nullptr) {
        int error = status_from_errno();
        close(dup);
        return error;
    }
    if (out == nullptr)
        return status_from_errno();
    write(out, context);
    errno = 0;
    int error = std::fflush(out) != 0 || std::ferror(out) != 0 ? status_from_errno() : 0;
    return std::fclose(out) != 0 && error == 0 ? status_from_errno() : error;
}

/// The new file written beside `base` within `dir` and put in its place
/// (replace_commit); a directory that cannot be synced for another reason
/// than that it cannot be, fails. 0, or -errno.
int write_in(int dir, const char *base, mode_t mode, void (*write)(FILE *out, void *context),
             void *context)
{
    char temp[NAME_MAX + 1];
    int made = open_temp(dir, base, temp);
    if (made < 0)
        return made;
    FdGuard fd{made};
    int error = fchmod(fd.fd, mode) == 0 ? write_through(fd.fd, write, context)
                                         : status_from_errno();
    if (error != 0) {
        fd.close_now();
        unlinkat(dir, temp, 0);
        return error;
    }
    ReplaceResult r = replace_commit(dir, temp, base, fd.release(), nullptr);
    if (r.step != kReplaceDone)
        return r.error;
    return r.dir_opened && r.dir_error != 0 && r.dir_error != -EINVAL ? r.dir_error : 0;
}

}  // namespace

int out_file_replace(const char *file, mode_t mode, void (*write)(FILE *out, void *context),
                     void *context, char *why, std::size_t why_size)
{
    why[0] = '\0';
    Way way;
    char base[NAME_MAX + 1];
    int error = walk(&way, file, base, why, why_size);
    if (error == 0)
        error = write_in(way.dir.fd, base, mode, write, context);
    if (error != 0 && why[0] == '\0')
        std::snprintf(why, why_size, "%s", std::strerror(-error));
    return error;
}
