// The prioritizer plugin's steady call beside a bare in-process probe, in one
// process under the simulated array, taking turns on the same paths. Not a
// test: tools/bench.sh runs it (docs/performance.md).
//
//   plugin_bench PLUGIN STATE_DIR NODES_FILE LUNS ROUNDS [STORED]
//
// NODES_FILE lists the nodes of tools/bench/gen_scenario.sh (all C0P0 nodes,
// then C1P0, C0P1, C1P1). The plugin is called once on each of the 4 x LUNS
// paths of LUNs 0..LUNS-1, which stores them; with STORED > LUNS, lines of
// further LUNs (of no node) are added to STATE_DIR/tald.conf until it holds
// STORED, and every path is called once more, a moment later. Then ROUNDS rounds call each
// path's getprio and right after it the bare probe of the same node (open,
// INQUIRY page 0x83, READ BUFFER id 0x40 with the same buffers, close), and
// one line gives the medians (of the rounds that fit into 20 s, one at least) of wall and thread cpu time of both, in
// microseconds, the cost of a host that calls 205 times a second, the
// syslog messages of the measured calls (syslog is caught here) and whether
// they left the preference and lock files as they were (bytes, inode,
// times).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {
long syslog_messages = 0;
}

// The plain entries and the checked ones of _FORTIFY_SOURCE builds.
extern "C" void syslog(int, const char *, ...) { ++syslog_messages; }
extern "C" void vsyslog(int, const char *, va_list) { ++syslog_messages; }
extern "C" void __syslog_chk(int, int, const char *, ...) { ++syslog_messages; }
extern "C" void __vsyslog_chk(int, int, const char *, va_list) { ++syslog_messages; }

namespace {

struct HostPath {
    char dev[256];
    unsigned char rest[2048];
};
using GetPrio = int (*)(HostPath *, char *, unsigned int);

/// multipathd 0.9.4 on 1024 LUNs x 4 paths, every path checked every 20 s.
constexpr double kHostCallsPerSecond = 205.0;
constexpr long long kBudgetNs = 20'000'000'000LL;

long long now_ns(clockid_t clock)
{
    timespec t = {};
    clock_gettime(clock, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

unsigned char page[255];
unsigned char reply[8];

/// What a prioritizer that only asks the array would do for one path.
int bare_probe(const char *node)
{
    static const unsigned char inquiry[6] = {0x12, 0x01, 0x83, 0x00, 0xff, 0x00};
    static const unsigned char read_buffer[16] = {0x3c, 0x02, 0x40, 0, 0, 0, 0, 0, 0x08};
    unsigned char sense[32];
    int fd = open(node, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int ok = 0;
    struct Command {
        const unsigned char *cdb;
        unsigned char len;
        unsigned char *buf;
        unsigned buf_len;
    } const commands[] = {{inquiry, 6, page, sizeof page}, {read_buffer, 16, reply, sizeof reply}};
    for (const Command &c : commands) {
        sg_io_hdr_t hdr = {};
        hdr.interface_id = 'S';
        hdr.dxfer_direction = SG_DXFER_FROM_DEV;
        hdr.cmd_len = c.len;
        hdr.cmdp = const_cast<unsigned char *>(c.cdb);
        hdr.dxferp = c.buf;
        hdr.dxfer_len = c.buf_len;
        hdr.sbp = sense;
        hdr.mx_sb_len = sizeof sense;
        hdr.timeout = 5000;
        ok |= ioctl(fd, SG_IO, &hdr);
    }
    close(fd);
    return ok;
}

/// A line of the preference file for a LUN of no node, with four paths.
std::string padding_line(int n)
{
    char text[640];
    int len = std::snprintf(text, sizeof text, "3ffff%027d,", n);
    for (int cp = 0; cp < 4; ++cp)
        len += std::snprintf(text + len, sizeof text - len, "/dev/pad%d_%d,%d:0:%d:%d,%d,", n, cp,
                             100 + cp, cp % 2, n % 256, cp + 1);
    for (int k = 4; k < 16; ++k)
        len += std::snprintf(text + len, sizeof text - len, "x,0:0:0:0,0,");
    std::snprintf(text + len, sizeof text - len, "pad_%d\n", n);
    return text;
}

/// Bytes, inode and times of a file, as one text ("" when missing).
std::string file_state(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return "";
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    char head[160];
    std::snprintf(head, sizeof head, "%lu %ld.%09ld %ld.%09ld|",
                  static_cast<unsigned long>(st.st_ino), static_cast<long>(st.st_mtim.tv_sec),
                  st.st_mtim.tv_nsec, static_cast<long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
    return head + bytes;
}

double median_us(std::vector<long long> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : static_cast<double>(v[v.size() / 2]) / 1000.0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: plugin_bench PLUGIN STATE_DIR NODES_FILE LUNS ROUNDS [STORED]\n");
        return 2;
    }
    const std::string state = argv[2];
    int luns = std::atoi(argv[4]);
    int rounds = std::atoi(argv[5]);
    int stored = argc > 6 ? std::atoi(argv[6]) : luns;
    std::vector<std::string> all;
    std::ifstream in(argv[3]);
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    int array_luns = static_cast<int>(all.size() / 4);
    if (luns < 1 || luns > array_luns) {
        std::fprintf(stderr, "plugin_bench: LUNS must be 1..%d\n", array_luns);
        return 2;
    }
    std::vector<std::string> nodes;
    for (int p = 0; p < 4; ++p)
        for (int n = 0; n < luns; ++n)
            nodes.push_back(all[p * array_luns + n]);

    void *handle = dlopen(argv[1], RTLD_NOW);
    auto getprio = handle ? reinterpret_cast<GetPrio>(dlsym(handle, "getprio")) : nullptr;
    if (getprio == nullptr) {
        std::fprintf(stderr, "plugin_bench: %s\n", dlerror());
        return 2;
    }
    char args[] = "";
    std::vector<HostPath> paths(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i)
        std::snprintf(paths[i].dev, sizeof paths[i].dev, "%s", nodes[i].c_str() + 5);
    auto call_all = [&] {
        for (HostPath &p : paths)
            if (getprio(&p, args, 0) <= 0)
                std::fprintf(stderr, "plugin_bench: no priority for %s\n", p.dev);
    };
    call_all();
    if (stored > luns) {
        std::string text;
        for (int n = luns; n < stored; ++n)
            text += padding_line(n);
        std::ofstream(state + "/tald.conf", std::ios::app) << text;
    }
    // A file written within a time-stamp tick of its reading is read again
    // at each call until the tick is past: steady calls come after it.
    usleep(100000);
    call_all();

    const std::string conf_before = file_state(state + "/tald.conf");
    const std::string lock_before = file_state(state + "/tald.lock");
    syslog_messages = 0;
    std::vector<long long> plugin_wall, plugin_cpu, bare_wall, bare_cpu;
    // A slow plugin (one that reads the whole file at each call) is measured
    // on fewer calls: at most about kBudgetNs, and at least a round.
    const long long started = now_ns(CLOCK_MONOTONIC);
    for (int r = 0; r < rounds && (r == 0 || now_ns(CLOCK_MONOTONIC) - started < kBudgetNs); ++r) {
        for (std::size_t i = 0; i < paths.size(); ++i) {
            long long w = now_ns(CLOCK_MONOTONIC), c = now_ns(CLOCK_THREAD_CPUTIME_ID);
            getprio(&paths[i], args, 0);
            plugin_wall.push_back(now_ns(CLOCK_MONOTONIC) - w);
            plugin_cpu.push_back(now_ns(CLOCK_THREAD_CPUTIME_ID) - c);
            w = now_ns(CLOCK_MONOTONIC);
            c = now_ns(CLOCK_THREAD_CPUTIME_ID);
            bare_probe(nodes[i].c_str());
            bare_wall.push_back(now_ns(CLOCK_MONOTONIC) - w);
            bare_cpu.push_back(now_ns(CLOCK_THREAD_CPUTIME_ID) - c);
        }
    }
    bool unchanged = file_state(state + "/tald.conf") == conf_before &&
                     file_state(state + "/tald.lock") == lock_before;
    double pw = median_us(plugin_wall), pc = median_us(plugin_cpu);
    double bw = median_us(bare_wall), bc = median_us(bare_cpu);
    std::printf("%6d LUNs %5zu paths  plugin %9.2f us %9.2f us cpu   bare probe %7.2f us %7.2f us cpu"
                "   %7.2f x %7.2f x   %6.4f cores   syslog %ld, files %s\n",
                stored, paths.size(), pw, pc, bw, bc, pw / bw, pc / bc,
                pc * kHostCallsPerSecond / 1e6, syslog_messages,
                unchanged ? "unchanged" : "CHANGED");
    dlclose(handle);
    return 0;
}
