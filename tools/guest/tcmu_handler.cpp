// tald_tcmu: serves the command rings of the guest's TCMU devices, one device
// per array path, from a scenario file of the simulated array.
//
//   tald_tcmu [-v] [-b N=FILE]... SCENARIO
//
// Every "tcm-user" UIO device whose configuration string ends in "/N" is the
// scenario's node number N (0 for the first `node`). The program maps each
// device's ring, answers what is queued, then waits for the kernel's
// notifications; it runs until it is killed. With -v every command goes to
// standard error. Node N's LUN is 1 MiB of zeroes, or with -b N=FILE the
// data of FILE (a file or a block device, read and written; several nodes,
// the paths of one LUN, may name the same FILE). The node's `addr` and its open/idlun/sgio faults have no
// meaning here: the kernel assigns addresses and carries the ioctls.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include "device.hpp"
#include "scenario.hpp"

namespace {

// The shared ring of a TCMU device (the kernel's target_core_user ABI, mailbox
// version 2). The kernel header declares its own struct iovec, which clashes
// with the C library's, so the few records are spelt out here.
struct tcmu_mailbox {
    std::uint16_t version;
    std::uint16_t flags;
    std::uint32_t cmdr_off;
    std::uint32_t cmdr_size;
    std::uint32_t cmd_head;
    alignas(64) std::uint32_t cmd_tail;  // written by us, on its own cache line
};
static_assert(offsetof(tcmu_mailbox, cmd_tail) == 64);

constexpr std::uint32_t TCMU_OP_PAD = 0;
constexpr std::uint32_t TCMU_OP_CMD = 1;
constexpr std::uint32_t TCMU_OP_TMR = 2;
constexpr std::uint32_t kOpMask = 0x7;
constexpr std::uint8_t TCMU_UFLAG_UNKNOWN_OP = 0x1;
constexpr std::uint8_t TCMU_UFLAG_READ_LEN = 0x2;

struct __attribute__((packed)) tcmu_cmd_entry_hdr {
    std::uint32_t len_op;  // entry length, operation in the low 3 bits
    std::uint16_t cmd_id;
    std::uint8_t kflags;
    std::uint8_t uflags;
};

struct __attribute__((packed)) tcmu_cmd_entry {
    tcmu_cmd_entry_hdr hdr;
    union {
        struct {
            std::uint32_t iov_cnt;
            std::uint32_t iov_bidi_cnt;
            std::uint32_t iov_dif_cnt;
            std::uint64_t cdb_off;
            std::uint64_t pad1;
            std::uint64_t pad2;
            iovec iov[1];  // iov_cnt of them; iov_base is an offset into the mapping
        } req;
        struct {
            std::uint8_t scsi_status;
            std::uint8_t pad1;
            std::uint16_t pad2;
            std::uint32_t read_len;
            char sense_buffer[guest::kSenseSize];
        } rsp;
    };
};
static_assert(offsetof(tcmu_cmd_entry, req.cdb_off) == 24);  // the inner records keep their alignment
static_assert(offsetof(tcmu_cmd_entry, req.iov) == 48);
static_assert(offsetof(tcmu_cmd_entry, rsp.sense_buffer) == 16);

std::uint32_t tcmu_hdr_get_op(std::uint32_t len_op) { return len_op & kOpMask; }
std::uint32_t tcmu_hdr_get_len(std::uint32_t len_op) { return len_op & ~kOpMask; }

constexpr int kMaxDevices = 64;
constexpr std::size_t kMaxScenarioBytes = 1u << 20;
constexpr std::size_t kMaxData = 1u << 24;  // larger commands are refused
constexpr char kUioClass[] = "/sys/class/uio";
constexpr char kTcmuPrefix[] = "tcm-user/";
constexpr int kPollMs = 1000;  // also serve the rings now and then without a notification

struct Device {
    int fd;
    std::uint8_t *map;
    std::size_t map_size;
    const simarray::Node *node;
    int index;
};

simarray::Scenario g_scenario;
guest::Disk g_disks[simarray::kMaxNodes];  // fd -1: no backing file

Device g_devices[kMaxDevices];
int g_device_count;
bool g_verbose;
std::uint8_t g_data[kMaxData];

int read_text(const char *path, char *buf, std::size_t size) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    std::size_t used = 0;
    while (used + 1 < size) {
        ssize_t n = read(fd, buf + used, size - 1 - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
    }
    close(fd);
    buf[used] = '\0';
    while (used > 0 && buf[used - 1] == '\n') buf[--used] = '\0';
    return static_cast<int>(used);
}

int load_scenario(const char *path) {
    static char text[kMaxScenarioBytes];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "tald_tcmu: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    std::size_t used = 0;
    for (;;) {
        ssize_t n = read(fd, text + used, sizeof text - used);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        used += static_cast<std::size_t>(n);
        if (used == sizeof text) break;
    }
    close(fd);
    char msg[simarray::kMaxMessage];
    int line = simarray::parse_scenario(text, used, g_scenario, msg, sizeof msg);
    if (line != 0) {
        std::fprintf(stderr, "tald_tcmu: %s:%d: %s\n", path, line, msg);
        return -1;
    }
    return 0;
}

// The node number at the end of a UIO name "tcm-user/HBA/DEV/SUBTYPE/N".
int node_of(const char *name) {
    if (std::strncmp(name, kTcmuPrefix, sizeof kTcmuPrefix - 1) != 0) return -1;
    const char *slash = std::strrchr(name, '/');
    char *end = nullptr;
    long n = std::strtol(slash + 1, &end, 10);
    if (slash[1] == '\0' || *end != '\0' || n < 0 ||
        static_cast<std::size_t>(n) >= g_scenario.node_count)
        return -1;
    return static_cast<int>(n);
}

int attach(const char *uio) {
    char path[512];
    char text[512];
    std::snprintf(path, sizeof path, "%s/%s/name", kUioClass, uio);
    if (read_text(path, text, sizeof text) < 0) return 0;
    if (std::strncmp(text, kTcmuPrefix, sizeof kTcmuPrefix - 1) != 0) return 0;
    int index = node_of(text);
    if (index < 0) {
        std::fprintf(stderr, "tald_tcmu: %s: no scenario node for \"%s\"\n", uio, text);
        return -1;
    }
    if (g_device_count == kMaxDevices) {
        std::fprintf(stderr, "tald_tcmu: more than %d devices\n", kMaxDevices);
        return -1;
    }
    std::snprintf(path, sizeof path, "%s/%s/maps/map0/size", kUioClass, uio);
    if (read_text(path, text, sizeof text) <= 0) {
        std::fprintf(stderr, "tald_tcmu: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    std::size_t size = std::strtoull(text, nullptr, 0);
    std::snprintf(path, sizeof path, "/dev/%s", uio);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "tald_tcmu: %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        std::fprintf(stderr, "tald_tcmu: mmap %s: %s\n", path, std::strerror(errno));
        close(fd);
        return -1;
    }
    Device &d = g_devices[g_device_count++];
    d = Device{fd, static_cast<std::uint8_t *>(map), size, &g_scenario.nodes[index], index};
    if (g_verbose)
        std::fprintf(stderr, "tald_tcmu: %s serves node %d %s\n", uio, index, d.node->path);
    return 0;
}

int attach_all() {
    DIR *dir = opendir(kUioClass);
    if (dir == nullptr) {
        std::fprintf(stderr, "tald_tcmu: %s: %s\n", kUioClass, std::strerror(errno));
        return -1;
    }
    int status = 0;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        if (attach(e->d_name) != 0) status = -1;
    }
    closedir(dir);
    return status;
}

// The command's data buffer: the entry's iovecs, offsets into the mapping.
// Returns the total length, or -1 when an iovec lies outside the mapping.
long data_size(const Device &d, const tcmu_cmd_entry *e) {
    std::size_t total = 0;
    for (std::uint32_t i = 0; i < e->req.iov_cnt; ++i) {
        auto off = reinterpret_cast<std::uintptr_t>(e->req.iov[i].iov_base);
        std::size_t len = e->req.iov[i].iov_len;
        if (off > d.map_size || len > d.map_size - off) return -1;
        total += len;
    }
    return total > kMaxData ? -1 : static_cast<long>(total);
}

void scatter(const Device &d, const tcmu_cmd_entry *e, std::size_t len) {
    std::size_t done = 0;
    for (std::uint32_t i = 0; i < e->req.iov_cnt && done < len; ++i) {
        auto off = reinterpret_cast<std::uintptr_t>(e->req.iov[i].iov_base);
        std::size_t n = std::min(e->req.iov[i].iov_len, len - done);
        std::memcpy(d.map + off, g_data + done, n);
        done += n;
    }
}

void gather(const Device &d, const tcmu_cmd_entry *e, std::size_t len) {
    std::size_t done = 0;
    for (std::uint32_t i = 0; i < e->req.iov_cnt && done < len; ++i) {
        auto off = reinterpret_cast<std::uintptr_t>(e->req.iov[i].iov_base);
        std::size_t n = std::min(e->req.iov[i].iov_len, len - done);
        std::memcpy(g_data + done, d.map + off, n);
        done += n;
    }
}

void answer(const Device &d, tcmu_cmd_entry *e) {
    if (e->req.cdb_off > d.map_size - 16) {
        e->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP;
        return;
    }
    const std::uint8_t *cdb = d.map + e->req.cdb_off;
    std::size_t cdb_len = guest::cdb_length(cdb[0]);
    static guest::Result r;
    long len = data_size(d, e);
    if (cdb_len == 0 || len < 0) {
        guest::invalid_opcode(r);
    } else {
        gather(d, e, static_cast<std::size_t>(len));
        const guest::Disk *disk = g_disks[d.index].fd >= 0 ? &g_disks[d.index] : nullptr;
        guest::run_command(*d.node, disk, cdb, cdb_len, g_data, static_cast<std::size_t>(len), r);
        if (r.status == 0 && r.data_len > 0) scatter(d, e, r.data_len);
    }
    if (g_verbose) {
        std::fprintf(stderr, "tald_tcmu: node %d op %02x len %ld -> status %u data %zu\n",
                     d.index, cdb[0], len, r.status, r.data_len);
    }
    e->rsp.scsi_status = r.status;
    std::memset(e->rsp.sense_buffer, 0, sizeof e->rsp.sense_buffer);
    if (r.status != 0) {
        std::memcpy(e->rsp.sense_buffer, r.sense, std::min(r.sense_len, sizeof e->rsp.sense_buffer));
    } else if (len > 0) {
        // A short answer shows as a residual, as with the simulated array.
        e->rsp.read_len = static_cast<std::uint32_t>(r.data_len);
        e->hdr.uflags |= TCMU_UFLAG_READ_LEN;
    }
}

// Answers every entry between the tail and the head; returns how many.
int serve(Device &d) {
    auto *mb = reinterpret_cast<tcmu_mailbox *>(d.map);
    int served = 0;
    std::uint32_t head = __atomic_load_n(&mb->cmd_head, __ATOMIC_ACQUIRE);
    std::uint32_t tail = mb->cmd_tail;
    if (g_verbose && tail != head)
        std::fprintf(stderr, "tald_tcmu: node %d ring off %u size %u head %u tail %u\n", d.index,
                     mb->cmdr_off, mb->cmdr_size, head, tail);
    while (tail != head) {
        auto *e = reinterpret_cast<tcmu_cmd_entry *>(d.map + mb->cmdr_off + tail);
        std::uint32_t len_op = e->hdr.len_op;
        switch (tcmu_hdr_get_op(len_op)) {
        case TCMU_OP_PAD: break;
        case TCMU_OP_CMD: answer(d, e); ++served; break;
        case TCMU_OP_TMR: break;  // task management notices: nothing is pending here
        default: e->hdr.uflags |= TCMU_UFLAG_UNKNOWN_OP; break;
        }
        tail = (tail + tcmu_hdr_get_len(len_op)) % mb->cmdr_size;
        __atomic_store_n(&mb->cmd_tail, tail, __ATOMIC_RELEASE);
        head = __atomic_load_n(&mb->cmd_head, __ATOMIC_ACQUIRE);
    }
    if (served > 0) {
        std::uint32_t one = 1;
        if (write(d.fd, &one, sizeof one) != sizeof one)
            std::fprintf(stderr, "tald_tcmu: notify node %d: %s\n", d.index, std::strerror(errno));
    }
    return served;
}

void run() {
    pollfd fds[kMaxDevices];
    for (int i = 0; i < g_device_count; ++i) fds[i] = pollfd{g_devices[i].fd, POLLIN, 0};
    for (;;) {
        for (int i = 0; i < g_device_count; ++i) serve(g_devices[i]);
        int n = poll(fds, static_cast<nfds_t>(g_device_count), kPollMs);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "tald_tcmu: poll: %s\n", std::strerror(errno));
            return;
        }
        for (int i = 0; i < g_device_count && n > 0; ++i) {
            if (fds[i].revents & POLLIN) {
                std::uint32_t count;
                if (read(fds[i].fd, &count, sizeof count) < 0 && errno != EINTR)
                    std::fprintf(stderr, "tald_tcmu: read uio: %s\n", std::strerror(errno));
            }
        }
    }
}

// "-b N=FILE": node N's data is FILE's.
int add_disk(const char *arg) {
    char *end = nullptr;
    long n = std::strtol(arg, &end, 10);
    if (end == arg || *end != '=' || n < 0 || n >= static_cast<long>(simarray::kMaxNodes)) {
        std::fprintf(stderr, "tald_tcmu: -b %s: not NODE=FILE\n", arg);
        return -1;
    }
    const char *file = end + 1;
    int fd = open(file, O_RDWR | O_CLOEXEC);
    off_t bytes = fd < 0 ? -1 : lseek(fd, 0, SEEK_END);
    if (bytes < 0) {
        std::fprintf(stderr, "tald_tcmu: %s: %s\n", file, std::strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    if (bytes < static_cast<off_t>(guest::kBlockSize)) {
        std::fprintf(stderr, "tald_tcmu: %s: smaller than one block\n", file);
        close(fd);
        return -1;
    }
    if (g_disks[n].fd >= 0) close(g_disks[n].fd);
    g_disks[n] = guest::Disk{fd, static_cast<std::uint64_t>(bytes)};
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    for (auto &disk : g_disks) disk = guest::Disk{-1, 0};
    int arg = 1;
    for (; arg < argc; ++arg) {
        if (std::strcmp(argv[arg], "-v") == 0) {
            g_verbose = true;
        } else if (std::strcmp(argv[arg], "-b") == 0 && arg + 1 < argc) {
            if (add_disk(argv[++arg]) != 0) return 1;
        } else {
            break;
        }
    }
    if (arg + 1 != argc) {
        std::fprintf(stderr, "usage: tald_tcmu [-v] [-b N=FILE]... SCENARIO\n");
        return 2;
    }
    if (load_scenario(argv[arg]) != 0) return 1;
    if (attach_all() != 0) return 1;
    if (g_device_count == 0) {
        std::fprintf(stderr, "tald_tcmu: no TCMU device found\n");
        return 1;
    }
    std::fprintf(stderr, "tald_tcmu: serving %d devices\n", g_device_count);
    run();
    return 1;
}
