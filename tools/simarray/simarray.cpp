// libsimarray.so: an LD_PRELOAD library that stands in for the disk array.
//
// Life cycle: the first interposed call (or the library constructor, which
// comes first in practice) reads the environment and the scenario once per
// process; after that the scenario is read-only and shared by all threads.
// A descriptor opened on a simulated node is a real descriptor on /dev/null,
// entered in a table indexed by descriptor number; ioctl on it is answered
// here and close clears the entry. The table is plain memory, so a forked
// child inherits both the descriptors and their entries.
//
// Every interposed entry keeps errno as the real call would leave it, and
// the log and the parser use the real libc functions only, never the
// interposed ones.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "scenario.hpp"
#include "scsi.hpp"

namespace {

using simarray::FailOp;
using simarray::Node;

constexpr int kExitBadScenario = 70;
constexpr char kCacheDir[] = "/etc/lvm/cache";
constexpr std::size_t kCacheDirLen = sizeof kCacheDir - 1;
// The look's state and the journal's socket, below the state directory too.
constexpr char kRunDir[] = "/run/tald";
constexpr char kRunDirTo[] = "/run-tald";
constexpr char kJournalSocket[] = "/run/systemd/journal/socket";
constexpr char kJournalSocketTo[] = "/journal.socket";
constexpr int kMaxFds = 4096;
constexpr std::size_t kMaxScenarioBytes = 4u << 20;

// The libc functions behind the interposed names.
struct Real {
    int (*openat)(int, const char *, int, ...);
    FILE *(*fopen)(const char *, const char *);
    FILE *(*fopen64)(const char *, const char *);
    int (*fclose)(FILE *);
    int (*close)(int);
    int (*ioctl)(int, unsigned long, ...);
    ssize_t (*write)(int, const void *, size_t);
    int (*unlink)(const char *);
    int (*unlinkat)(int, const char *, int);
    int (*rename)(const char *, const char *);
    int (*renameat)(int, const char *, int, const char *);
    int (*renameat2)(int, const char *, int, const char *, unsigned);
    int (*stat)(const char *, struct stat *);
    int (*lstat)(const char *, struct stat *);
    int (*fstatat)(int, const char *, struct stat *, int);
    int (*stat64)(const char *, struct stat64 *);
    int (*lstat64)(const char *, struct stat64 *);
    int (*fstatat64)(int, const char *, struct stat64 *, int);
    int (*statx)(int, const char *, int, unsigned, struct statx *);
    int (*access)(const char *, int);
    int (*faccessat)(int, const char *, int, int);
    int (*chmod)(const char *, mode_t);
    int (*mkdir)(const char *, mode_t);
    ssize_t (*sendto)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
    int (*dup)(int);
    int (*dup2)(int, int);
    int (*dup3)(int, int, int);
    int (*fcntl)(int, int, ...);
    int (*fcntl64)(int, int, ...);
};

Real real;
simarray::Scenario scenario;  // large; zero-initialised, never destroyed
char state_dir[PATH_MAX];
char log_path[PATH_MAX];
pthread_once_t init_once = PTHREAD_ONCE_INIT;

// Per descriptor: 1 + index of the simulated node, or 0; and the errno that
// writes to it fail with, or 0.
struct FdEntry {
    std::atomic<int> node;
    std::atomic<int> write_err;
};
FdEntry fds[kMaxFds];

template <typename F>
void resolve(F &fn, const char *name) {
    fn = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void write_stderr(const char *text) {
    std::size_t len = std::strlen(text);
    while (len > 0) {
        ssize_t n = real.write(2, text, len);
        if (n <= 0) return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

[[noreturn]] void die(const char *text) {
    write_stderr(text);
    _exit(kExitBadScenario);
}

void copy_env(const char *name, char *dst, std::size_t size) {
    const char *v = std::getenv(name);
    if (v == nullptr) return;
    if (std::strlen(v) >= size) {
        char msg[128];
        std::snprintf(msg, sizeof msg, "simarray: %s is too long\n", name);
        die(msg);
    }
    std::snprintf(dst, size, "%s", v);
}

void load_scenario(const char *file) {
    char msg[simarray::kMaxMessage + PATH_MAX + 64];
    int fd = real.openat(AT_FDCWD, file, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(msg, sizeof msg, "simarray: %s: cannot open: %s\n", file,
                      std::strerror(errno));
        die(msg);
    }
    char *text = static_cast<char *>(std::malloc(kMaxScenarioBytes));
    if (text == nullptr) die("simarray: out of memory\n");
    std::size_t len = 0;
    for (;;) {
        ssize_t n = read(fd, text + len, kMaxScenarioBytes - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            std::snprintf(msg, sizeof msg, "simarray: %s: cannot read: %s\n", file,
                          std::strerror(errno));
            die(msg);
        }
        if (n == 0) break;
        len += static_cast<std::size_t>(n);
        if (len == kMaxScenarioBytes) {
            std::snprintf(msg, sizeof msg, "simarray: %s: larger than %zu bytes\n", file,
                          kMaxScenarioBytes);
            die(msg);
        }
    }
    real.close(fd);
    char what[simarray::kMaxMessage];
    int line = simarray::parse_scenario(text, len, scenario, what, sizeof what);
    std::free(text);
    if (line != 0) {
        std::snprintf(msg, sizeof msg, "simarray: %s:%d: %s\n", file, line, what);
        die(msg);
    }
}

void init() {
    int saved = errno;
    resolve(real.openat, "openat");
    resolve(real.fopen, "fopen");
    resolve(real.fopen64, "fopen64");
    resolve(real.fclose, "fclose");
    resolve(real.close, "close");
    resolve(real.ioctl, "ioctl");
    resolve(real.write, "write");
    resolve(real.unlink, "unlink");
    resolve(real.unlinkat, "unlinkat");
    resolve(real.rename, "rename");
    resolve(real.renameat, "renameat");
    resolve(real.renameat2, "renameat2");
    resolve(real.stat, "stat");
    resolve(real.lstat, "lstat");
    resolve(real.fstatat, "fstatat");
    resolve(real.stat64, "stat64");
    resolve(real.lstat64, "lstat64");
    resolve(real.fstatat64, "fstatat64");
    resolve(real.statx, "statx");
    resolve(real.access, "access");
    resolve(real.faccessat, "faccessat");
    resolve(real.chmod, "chmod");
    resolve(real.mkdir, "mkdir");
    resolve(real.sendto, "sendto");
    resolve(real.dup, "dup");
    resolve(real.dup2, "dup2");
    resolve(real.dup3, "dup3");
    resolve(real.fcntl, "fcntl");
    resolve(real.fcntl64, "fcntl64");
    copy_env("SIMARRAY_STATE_DIR", state_dir, sizeof state_dir);
    copy_env("SIMARRAY_LOG", log_path, sizeof log_path);
    const char *file = std::getenv("SIMARRAY_SCENARIO");
    if (file != nullptr && file[0] != '\0') load_scenario(file);
    errno = saved;
}

void ensure_init() { pthread_once(&init_once, init); }

__attribute__((constructor)) void on_load() { ensure_init(); }

// Appends one line to SIMARRAY_LOG; one write per line, so that lines of
// concurrent processes do not mix.
__attribute__((format(printf, 1, 2))) void log_line(const char *fmt, ...) {
    if (log_path[0] == '\0') return;
    int saved = errno;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line - 1, fmt, ap);
    va_end(ap);
    if (n < 0) n = 0;
    if (static_cast<std::size_t>(n) > sizeof line - 2) n = sizeof line - 2;
    line[n++] = '\n';
    int fd = real.openat(AT_FDCWD, log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t w = real.write(fd, line, static_cast<std::size_t>(n));
        (void)w;
        real.close(fd);
    }
    errno = saved;
}

// The node that a path names, as the program names it. Relative to another
// directory than the current one a name is never a node.
const Node *node_for(int dirfd, const char *path) {
    if (path == nullptr || (path[0] != '/' && dirfd != AT_FDCWD)) return nullptr;
    return simarray::find_node(scenario, path);
}

const Node *node_of_fd(int fd) {
    if (fd < 0 || fd >= kMaxFds) return nullptr;
    int n = fds[fd].node.load();
    return n == 0 ? nullptr : &scenario.nodes[n - 1];
}

void set_fd(int fd, const Node *node, const char *path) {
    if (fd < 0 || fd >= kMaxFds) return;
    fds[fd].node.store(node == nullptr ? 0 : static_cast<int>(node - scenario.nodes) + 1);
    fds[fd].write_err.store(simarray::find_fail(scenario, FailOp::write, path));
}

void clear_fd(int fd) {
    if (fd < 0 || fd >= kMaxFds) return;
    fds[fd].node.store(0);
    fds[fd].write_err.store(0);
}

// A duplicate shares the open file, so it is the same node and fails writes
// the same way; the descriptor it replaces is gone.
int copy_fd(int from, int to) {
    if (to < 0 || to == from || to >= kMaxFds) return to;
    bool known = from >= 0 && from < kMaxFds;
    fds[to].node.store(known ? fds[from].node.load() : 0);
    fds[to].write_err.store(known ? fds[from].write_err.load() : 0);
    return to;
}

int fcntl_body(int (*fn)(int, int, ...), int fd, int cmd, va_list ap) {
    ensure_init();
    void *arg = va_arg(ap, void *);
    int r = fn(fd, cmd, arg);
    if (r >= 0 && (cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC)) copy_fd(fd, r);
    return r;
}

// Sets `out` to the path to hand to libc: `path` itself, or its redirect
// below the state directory written into `buf`. Returns -1 with errno set
// when the call must fail instead, else 0.
int redirect(int dirfd, const char *path, char *buf, std::size_t size, const char *&out) {
    out = path;
    if (path == nullptr || (path[0] != '/' && dirfd != AT_FDCWD)) return 0;
    const char *rest = nullptr;
    const char *to = "";
    if (std::strncmp(path, kCacheDir, kCacheDirLen) == 0) {
        rest = path + kCacheDirLen;
    } else if (std::strncmp(path, kRunDir, sizeof kRunDir - 1) == 0) {
        rest = path + sizeof kRunDir - 1;
        to = kRunDirTo;
    } else if (std::strcmp(path, kJournalSocket) == 0) {
        rest = "";
        to = kJournalSocketTo;
    }
    if (rest == nullptr || (rest[0] != '\0' && rest[0] != '/')) return 0;
    if (state_dir[0] == '\0') {
        // Never let a simulated run reach the machine's own state files.
        static std::atomic<bool> warned{false};
        if (!warned.exchange(true))
            write_stderr("simarray: SIMARRAY_STATE_DIR is not set; refusing /etc/lvm/cache\n");
        errno = EACCES;
        return -1;
    }
    int n = std::snprintf(buf, size, "%s%s%s", state_dir, to, rest);
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    out = buf;
    return 0;
}

int open_node(const Node &node, const char *path, int flags) {
    if (node.fault_open != 0) {
        errno = node.fault_open;
        return -1;
    }
    int fd = real.openat(AT_FDCWD, "/dev/null", (flags & O_ACCMODE) | (flags & O_CLOEXEC));
    if (fd < 0) return fd;
    if (fd >= kMaxFds) {
        real.close(fd);
        errno = EMFILE;
        return -1;
    }
    set_fd(fd, &node, path);
    return fd;
}

// The one body of every open variant.
int sim_open(int dirfd, const char *path, int flags, mode_t mode) {
    ensure_init();
    const Node *node = node_for(dirfd, path);
    if (node != nullptr) log_line("open %s flags=0x%x", path, static_cast<unsigned>(flags));
    if (path != nullptr) {
        if (int err = simarray::find_fail(scenario, FailOp::open, path); err != 0) {
            errno = err;
            return -1;
        }
    }
    if (node != nullptr) return open_node(*node, path, flags);
    char buf[PATH_MAX];
    const char *target = nullptr;
    if (redirect(dirfd, path, buf, sizeof buf, target) < 0) return -1;
    int fd = real.openat(dirfd, target, flags, mode);
    if (fd >= 0) set_fd(fd, nullptr, path);
    return fd;
}

mode_t mode_arg(int flags, va_list ap) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(ap, mode_t);
    return 0;
}

FILE *sim_fopen(const char *path, const char *mode, FILE *(*fn)(const char *, const char *)) {
    ensure_init();
    if (path != nullptr) {
        if (int err = simarray::find_fail(scenario, FailOp::open, path); err != 0) {
            errno = err;
            return nullptr;
        }
    }
    char buf[PATH_MAX];
    const char *target = nullptr;
    if (redirect(AT_FDCWD, path, buf, sizeof buf, target) < 0) return nullptr;
    FILE *fp = fn(target, mode);
    if (fp != nullptr) set_fd(fileno(fp), nullptr, path);
    return fp;
}

int sim_idlun(const Node &node, void *arg) {
    log_line("idlun %s", node.path);
    if (node.fault_idlun != 0) {
        errno = node.fault_idlun;
        return -1;
    }
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    int *words = static_cast<int *>(arg);
    words[0] = static_cast<int>(simarray::idlun_word(node));
    words[1] = node.host;  // the host's unique id
    return 0;
}

int put_int(void *arg, int value) {
    if (arg == nullptr) {
        errno = EFAULT;
        return -1;
    }
    *static_cast<int *>(arg) = value;
    return 0;
}

// The kernel answers with the host number whole, where the packed address of
// SCSI_IOCTL_GET_IDLUN keeps only its low byte.
int sim_busno(const Node &node, void *arg) {
    log_line("busno %s", node.path);
    if (node.fault_busno != 0) {
        errno = node.fault_busno;
        return -1;
    }
    return put_int(arg, node.host);
}

void sleep_ms(long ms) {
    timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// `fault delay`: the command takes its time. One that would outlast the
// request's timeout ends when the timeout expires, as the sg driver ends it:
// no data, host status DID_TIME_OUT, SG_INFO_CHECK. True when it timed out.
bool delay_command(const Node &node, sg_io_hdr_t &hdr) {
    constexpr unsigned char kDidTimeOut = 0x03;
    bool expires = hdr.timeout > 0 && static_cast<unsigned>(node.fault_delay_ms) >= hdr.timeout;
    sleep_ms(expires ? static_cast<long>(hdr.timeout) : node.fault_delay_ms);
    if (!expires) return false;
    hdr.status = 0;
    hdr.masked_status = 0;
    hdr.msg_status = 0;
    hdr.host_status = kDidTimeOut;
    hdr.driver_status = 0;
    hdr.sb_len_wr = 0;
    hdr.resid = static_cast<int>(hdr.dxfer_len);
    hdr.duration = hdr.timeout;
    hdr.info = SG_INFO_CHECK;
    return true;
}

int sim_sgio(const Node &node, void *arg) {
    auto *hdr = static_cast<sg_io_hdr_t *>(arg);
    if (hdr == nullptr) {
        log_line("sgio %s len=0 cdb= dxfer=0", node.path);
        errno = EFAULT;
        return -1;
    }
    char cdb[16 * 3 + 1] = "";
    if (hdr->cmdp != nullptr && hdr->cmd_len <= 16)
        simarray::format_cdb(hdr->cmdp, hdr->cmd_len, cdb, sizeof cdb);
    log_line("sgio %s len=%u cdb=%s dxfer=%u", node.path, static_cast<unsigned>(hdr->cmd_len),
             cdb, hdr->dxfer_len);
    if (node.fault_sgio != 0) {
        errno = node.fault_sgio;
        return -1;
    }
    if (node.fault_delay_ms > 0 && delay_command(node, *hdr)) return 0;
    if (int err = simarray::sg_io(node, *hdr); err != 0) {
        errno = err;
        return -1;
    }
    return 0;
}

int sim_ioctl(const Node &node, unsigned long request, void *arg) {
    switch (request) {
    case SCSI_IOCTL_GET_IDLUN: return sim_idlun(node, arg);
    case SCSI_IOCTL_GET_BUS_NUMBER: return sim_busno(node, arg);
    case SG_IO: return sim_sgio(node, arg);
    case SG_GET_VERSION_NUM: return put_int(arg, simarray::kSgVersionNum);
    case SG_EMULATED_HOST: return put_int(arg, 0);
    case SG_GET_RESERVED_SIZE: return put_int(arg, 32768);
    case SG_SET_RESERVED_SIZE:
    case SG_SET_TIMEOUT: return 0;
    default: errno = ENOTTY; return -1;
    }
}

// Runs `call` on the redirected path, or fails as redirect() says.
template <typename F>
int with_redirect(int dirfd, const char *path, F call) {
    ensure_init();
    char buf[PATH_MAX];
    const char *target = nullptr;
    if (redirect(dirfd, path, buf, sizeof buf, target) < 0) return -1;
    return call(target);
}

template <typename F>
int sim_rename(int olddirfd, const char *from, int newdirfd, const char *to, F call) {
    ensure_init();
    for (const char *p : {from, to}) {
        if (p == nullptr) continue;
        if (int err = simarray::find_fail(scenario, FailOp::rename, p); err != 0) {
            errno = err;
            return -1;
        }
    }
    char buf_from[PATH_MAX];
    char buf_to[PATH_MAX];
    const char *a = nullptr;
    const char *b = nullptr;
    if (redirect(olddirfd, from, buf_from, sizeof buf_from, a) < 0 ||
        redirect(newdirfd, to, buf_to, sizeof buf_to, b) < 0)
        return -1;
    return call(a, b);
}

}  // namespace

extern "C" {

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return sim_open(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return sim_open(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return sim_open(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return sim_open(dirfd, path, flags, mode);
}

// The fortified variants: called by programs built with _FORTIFY_SOURCE,
// never with O_CREAT (the fortified open() passes the mode through open).
int __open_2(const char *path, int flags) { return sim_open(AT_FDCWD, path, flags, 0); }
int __open64_2(const char *path, int flags) { return sim_open(AT_FDCWD, path, flags, 0); }
int __openat_2(int dirfd, const char *path, int flags) { return sim_open(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char *path, int flags) {
    return sim_open(dirfd, path, flags, 0);
}

FILE *fopen(const char *path, const char *mode) {
    ensure_init();
    return sim_fopen(path, mode, real.fopen);
}

FILE *fopen64(const char *path, const char *mode) {
    ensure_init();
    return sim_fopen(path, mode, real.fopen64);
}

int fclose(FILE *fp) {
    ensure_init();
    if (fp != nullptr) clear_fd(fileno(fp));
    return real.fclose(fp);
}

int close(int fd) {
    ensure_init();
    if (const Node *node = node_of_fd(fd)) log_line("close %s", node->path);
    clear_fd(fd);
    return real.close(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
    ensure_init();
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    if (const Node *node = node_of_fd(fd)) return sim_ioctl(*node, request, arg);
    return real.ioctl(fd, request, arg);
}

int dup(int fd) noexcept {
    ensure_init();
    return copy_fd(fd, real.dup(fd));
}

int dup2(int fd, int fd2) noexcept {
    ensure_init();
    return copy_fd(fd, real.dup2(fd, fd2));
}

int dup3(int fd, int fd2, int flags) noexcept {
    ensure_init();
    return copy_fd(fd, real.dup3(fd, fd2, flags));
}

int fcntl(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    int r = fcntl_body(real.fcntl, fd, cmd, ap);
    va_end(ap);
    return r;
}

int fcntl64(int fd, int cmd, ...) {
    va_list ap;
    va_start(ap, cmd);
    int r = fcntl_body(real.fcntl64, fd, cmd, ap);
    va_end(ap);
    return r;
}

ssize_t write(int fd, const void *buf, size_t count) {
    ensure_init();
    if (fd >= 0 && fd < kMaxFds) {
        if (int err = fds[fd].write_err.load(); err != 0) {
            errno = err;
            return -1;
        }
    }
    return real.write(fd, buf, count);
}

int mkdir(const char *path, mode_t mode) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.mkdir(p, mode); });
}

// A datagram to the journal's socket goes to the one below the state
// directory, where a test may listen.
ssize_t sendto(int fd, const void *buf, size_t len, int flags, const struct sockaddr *to,
               socklen_t to_len) {
    ensure_init();
    if (to == nullptr || to->sa_family != AF_UNIX)
        return real.sendto(fd, buf, len, flags, to, to_len);
    const auto *un = reinterpret_cast<const sockaddr_un *>(to);
    char named[sizeof un->sun_path + 1] = {};
    std::size_t given = to_len > offsetof(sockaddr_un, sun_path)
                            ? to_len - offsetof(sockaddr_un, sun_path) : 0;
    std::memcpy(named, un->sun_path, given < sizeof un->sun_path ? given : sizeof un->sun_path);
    char target[PATH_MAX];
    const char *path = nullptr;
    if (redirect(AT_FDCWD, named, target, sizeof target, path) < 0) return -1;
    if (path == named) return real.sendto(fd, buf, len, flags, to, to_len);
    sockaddr_un moved = {};
    moved.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof moved.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(moved.sun_path, path, std::strlen(path) + 1);
    return real.sendto(fd, buf, len, flags, reinterpret_cast<const sockaddr *>(&moved),
                       sizeof moved);
}

int unlink(const char *path) noexcept {
    return with_redirect(AT_FDCWD, path, [](const char *p) { return real.unlink(p); });
}

int unlinkat(int dirfd, const char *path, int flags) noexcept {
    return with_redirect(dirfd, path,
                         [=](const char *p) { return real.unlinkat(dirfd, p, flags); });
}

int rename(const char *from, const char *to) noexcept {
    return sim_rename(AT_FDCWD, from, AT_FDCWD, to, real.rename);
}

int renameat(int olddirfd, const char *from, int newdirfd, const char *to) noexcept {
    return sim_rename(olddirfd, from, newdirfd, to, [=](const char *a, const char *b) {
        return real.renameat(olddirfd, a, newdirfd, b);
    });
}

int renameat2(int olddirfd, const char *from, int newdirfd, const char *to,
              unsigned int flags) noexcept {
    return sim_rename(olddirfd, from, newdirfd, to, [=](const char *a, const char *b) {
        return real.renameat2(olddirfd, a, newdirfd, b, flags);
    });
}

int stat(const char *path, struct stat *st) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.stat(p, st); });
}

int lstat(const char *path, struct stat *st) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.lstat(p, st); });
}

int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
    return with_redirect(dirfd, path,
                         [=](const char *p) { return real.fstatat(dirfd, p, st, flags); });
}

int stat64(const char *path, struct stat64 *st) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.stat64(p, st); });
}

int lstat64(const char *path, struct stat64 *st) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.lstat64(p, st); });
}

int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
    return with_redirect(dirfd, path,
                         [=](const char *p) { return real.fstatat64(dirfd, p, st, flags); });
}

int statx(int dirfd, const char *path, int flags, unsigned int mask,
          struct statx *st) noexcept {
    return with_redirect(dirfd, path, [=](const char *p) {
        return real.statx(dirfd, p, flags, mask, st);
    });
}

int access(const char *path, int how) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.access(p, how); });
}

int faccessat(int dirfd, const char *path, int how, int flags) noexcept {
    return with_redirect(dirfd, path,
                         [=](const char *p) { return real.faccessat(dirfd, p, how, flags); });
}

int chmod(const char *path, mode_t mode) noexcept {
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return real.chmod(p, mode); });
}

}  // extern "C"

// C libraries before 2.33 have no stat, lstat or fstatat of their own:
// programs built against them call these entries, whose first argument is the
// version of struct stat. Redirected like the others.
#if defined(__GLIBC__) && !__GLIBC_PREREQ(2, 33)
namespace {
template <typename F>
F next_entry(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" {

int __xstat(int ver, const char *path, struct stat *st) noexcept {
    static auto fn = next_entry<int (*)(int, const char *, struct stat *)>("__xstat");
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return fn(ver, p, st); });
}

int __lxstat(int ver, const char *path, struct stat *st) noexcept {
    static auto fn = next_entry<int (*)(int, const char *, struct stat *)>("__lxstat");
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return fn(ver, p, st); });
}

int __fxstatat(int ver, int dirfd, const char *path, struct stat *st, int flags) noexcept {
    static auto fn =
        next_entry<int (*)(int, int, const char *, struct stat *, int)>("__fxstatat");
    return with_redirect(dirfd, path, [=](const char *p) { return fn(ver, dirfd, p, st, flags); });
}

int __xstat64(int ver, const char *path, struct stat64 *st) noexcept {
    static auto fn = next_entry<int (*)(int, const char *, struct stat64 *)>("__xstat64");
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return fn(ver, p, st); });
}

int __lxstat64(int ver, const char *path, struct stat64 *st) noexcept {
    static auto fn = next_entry<int (*)(int, const char *, struct stat64 *)>("__lxstat64");
    return with_redirect(AT_FDCWD, path, [=](const char *p) { return fn(ver, p, st); });
}

int __fxstatat64(int ver, int dirfd, const char *path, struct stat64 *st, int flags) noexcept {
    static auto fn =
        next_entry<int (*)(int, int, const char *, struct stat64 *, int)>("__fxstatat64");
    return with_redirect(dirfd, path, [=](const char *p) { return fn(ver, dirfd, p, st, flags); });
}

}  // extern "C"
#endif
