// Benchmarks of the preference store at 1, 256, 1024 and 4096 LUNs: loading
// the file, resolving a path of a known LUN, and saving the list. The file
// lives in a fresh directory on tmpfs (/dev/shm when there is one), never in
// /etc/lvm/cache. Not a test: run it through tools/bench.sh or by hand,
//   build/normal/tools/bench/store_bench
#include "base/pathinfo.hpp"
#include "base/text.hpp"
#include "store/file.hpp"
#include "store/resolve.hpp"
#include "store/store.hpp"

#include <benchmark/benchmark.h>
#include <sysfs/dlist.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *kFreeEntry = "x,0:0:0:0,0,";

/// wwid of LUN n, as the simulated array of tools/bench/gen_scenario.sh gives it.
std::string wwid_of(int n)
{
    char text[kWwidSize];
    std::snprintf(text, sizeof text, "36%x%02x1c7a550d%016x%04x", n >> 8 & 0xf, n & 0xff, 0,
                  n + 1);
    return text;
}

/// One line per LUN, each with its four paths in slot 0 of the four ports.
std::string file_text(int luns)
{
    std::string text;
    char entry[128];
    for (int n = 0; n < luns; ++n) {
        text += wwid_of(n) + ",";
        for (int cp = 0; cp < kControllerPorts; ++cp) {
            std::snprintf(entry, sizeof entry, "/dev/sdx%d_%d,%d:0:%d:%d,%d,", n, cp,
                          2 + cp / 2 + 2 * (n / 256), cp % 2, n % 256, cp + 1);
            text += entry;
        }
        for (int k = kControllerPorts; k < kControllerPorts * kSlotsPerPort; ++k) text += kFreeEntry;
        std::snprintf(entry, sizeof entry, "vol_%04d\n", n);
        text += entry;
    }
    return text;
}

/// A directory on tmpfs holding tald.conf with `luns` LUNs, and a store of
/// that file.
struct StoreFile {
    char dir[64];
    std::string path;
    Store *store = nullptr;

    explicit StoreFile(int luns)
    {
        std::snprintf(dir, sizeof dir, "%s/store_bench.XXXXXX",
                      access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
        if (mkdtemp(dir) == nullptr) std::abort();
        path = std::string(dir) + "/tald.conf";
        std::string text = file_text(luns);
        std::FILE *f = std::fopen(path.c_str(), "w");
        if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size())
            std::abort();
        std::fclose(f);
        store = new Store(path.c_str());
    }
    ~StoreFile()
    {
        delete store;
        std::remove(path.c_str());
        std::remove((path + ".tmp").c_str());
        rmdir(dir);
    }
    StoreFile(const StoreFile &) = delete;
    StoreFile &operator=(const StoreFile &) = delete;
};

void load(const StoreFile &file)
{
    store_reset(file.store);
    if (load_config(file.store, file.path.c_str()) != 0) std::abort();
}

void BM_load_config(benchmark::State &state)
{
    StoreFile file(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        state.PauseTiming();
        store_reset(file.store);
        state.ResumeTiming();
        benchmark::DoNotOptimize(load_config(file.store, file.path.c_str()));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The path C1P0 of LUN 0: the file's first line, so the last record that the
// walk of the list meets.
void BM_conf_getPrio(benchmark::State &state)
{
    StoreFile file(static_cast<int>(state.range(0)));
    load(file);
    pathinfo probed{};
    copy_field(probed.wwid, sizeof probed.wwid, wwid_of(0).c_str());
    copy_field(probed.text_name, sizeof probed.text_name, "vol_0000");
    copy_field(probed.dev, sizeof probed.dev, "/dev/sdx0_2");
    probed.cp = 2;
    probed.host = 3;
    probed.id = 0;
    copy_field(probed.slot_dev[2][0], kDevSize, probed.dev);
    probed.slot_host[2][0] = probed.host;
    for (auto _ : state) benchmark::DoNotOptimize(conf_getPrio(file.store, &probed));
}

// Every save carries a change (an override toggled between 5 and 6), so that
// it always writes.
void BM_save_config(benchmark::State &state)
{
    StoreFile file(static_cast<int>(state.range(0)));
    load(file);
    dlist_start(file.store->luns);
    _dlist_mark_move(file.store->luns, 1);
    auto *first = static_cast<pathinfo *>(dlist_mark(file.store->luns));
    int prio = 5;
    for (auto _ : state) {
        prio = prio == 5 ? 6 : 5;
        setPathPrio(first, first->slot_host[0][0], 0, prio);
        if (save_config(file.store, file.path.c_str()) != 0) std::abort();
    }
}

BENCHMARK(BM_load_config)->Arg(1)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_conf_getPrio)->Arg(1)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_save_config)->Arg(1)->Arg(256)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
