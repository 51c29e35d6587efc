// Many runs of both programs on the same LUNs, a window of them in flight at
// once: the lock file must serialise every load-change-save so that no
// override is lost and the file stays whole. A run that does not get the lock
// within its bound may end in the lock failure, changing nothing; every other
// run must answer as if it had the file to itself.

#include "harness.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>
#include <thread>

namespace e2e {
namespace {

constexpr int kLuns = 8;
constexpr int kCallouts = 100;
constexpr int kInFlight = 16;
constexpr const char *kLockError = "Error:  Unable to obtain lock.\n";

struct Job {
    const char *program;
    std::vector<std::string> args;
    const Path *path;
    int lunref;
};

/// Makes `lock` 0644 every 2 ms until stopped (nothing for an empty name).
class Widener {
public:
    explicit Widener(const std::string &lock)
    {
        if (!lock.empty()) {
            thread_ = std::thread([this, lock] {
                while (!stop_) {
                    chmod(lock.c_str(), 0644);
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
            });
        }
    }
    ~Widener() { stop(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Concurrency : public SimTest {
protected:
    /// The mix of runs below; `widen_lock`: tald.lock is made 0644 every
    /// 2 ms while they run, as a careless admin's loop or a restore would.
    void parallel_runs(bool widen_lock);
};

TEST_F(Concurrency, ParallelCalloutsAndOverridesLoseNoUpdate) { parallel_runs(false); }

// Each run as root replaces a lock file that others could open: never two
// runs inside at once for all that.
TEST_F(Concurrency, LockFileWidenedAgainAndAgainLosesNoUpdate)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a run as root replaces the lock file";
    parallel_runs(true);
}

void Concurrency::parallel_runs(bool widen_lock)
{
    std::vector<Lun> luns;
    std::vector<Path> paths;  // 4 per LUN, LUN i at 4 * i
    std::string text;
    for (int i = 0; i < kLuns; ++i) {
        luns.push_back({i, 0x70 + i, "par" + std::to_string(i)});
        for (int cp = 0; cp < 4; ++cp) {
            Path p;
            p.dev = "/dev/sd" + std::string(1, static_cast<char>('a' + i)) +
                    std::string(1, static_cast<char>('a' + cp));
            p.host = 2 + cp % 2;
            p.id = cp / 2;
            p.lun = i;
            p.cp = cp;
            paths.push_back(p);
            text += node_text(luns.back(), p);
        }
    }
    scenario(text);

    // One override per path on three of each LUN's four ports; the fourth
    // port keeps its default, so every callout's answer is known exactly
    // once the override of its path has or has not yet happened.
    std::map<std::string, int> overrides;
    std::vector<Job> jobs;
    for (std::size_t k = 0; k < paths.size(); ++k) {
        if (paths[k].cp != 3) {
            int value = 5 + static_cast<int>(k % 4);
            overrides[paths[k].dev] = value;
            jobs.push_back({kTald,
                            {"--prio", "--set", paths[k].dev, std::to_string(value)},
                            &paths[k],
                            luns[k / 4].lunref});
        }
    }
    for (int n = 0; n < kCallouts; ++n) {
        std::size_t k = (static_cast<std::size_t>(n) * 7) % paths.size();
        jobs.push_back({kCallout, {paths[k].dev}, &paths[k], luns[k / 4].lunref});
    }
    // Interleave the two kinds so that the start order mixes them.
    std::vector<Job> order;
    for (std::size_t a = 0, b = kLuns * 3; a < kLuns * 3 || b < jobs.size();) {
        if (b < jobs.size()) {
            order.push_back(jobs[b++]);
        }
        if (b < jobs.size()) {
            order.push_back(jobs[b++]);
        }
        if (a < kLuns * 3) {
            order.push_back(jobs[a++]);
        }
    }
    ASSERT_GE(order.size(), 100u);

    // At most kInFlight runs at a time, the next started as soon as one
    // ends: a run queues behind a few others, not a hundred, so that the
    // callout's 5 s bound is not the machine's speed test; the overrides and
    // callouts of one LUN still queue on the lock together.
    std::vector<Started> started(order.size());
    std::vector<Outcome> outcomes(order.size());
    std::map<pid_t, std::size_t> running;
    Widener widener(widen_lock ? state_ + "/tald.lock" : "");
    for (std::size_t next = 0; next < order.size() || !running.empty();) {
        if (next < order.size() && running.size() < kInFlight) {
            started[next] = start(order[next].program, order[next].args, static_cast<int>(next));
            if (started[next].pid > 0) {
                running[started[next].pid] = next;
            }
            ++next;
            continue;
        }
        siginfo_t info = {};
        int rc;
        while ((rc = waitid(P_ALL, 0, &info, WEXITED | WNOWAIT)) != 0 && errno == EINTR) {
        }
        ASSERT_EQ(rc, 0) << std::strerror(errno);
        auto ended = running.find(info.si_pid);
        ASSERT_NE(ended, running.end()) << "not a run of this test: " << info.si_pid;
        outcomes[ended->second] = finish(started[ended->second]);
        running.erase(ended);
    }
    widener.stop();

    // Each run either answered as if it had the file to itself, or ended in
    // the lock failure and changed nothing.
    std::map<std::string, bool> probed;   // a run on the path ended well
    std::map<std::string, bool> confirmed;  // its override was confirmed
    int lock_failures = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const Outcome &o = outcomes[i];
        const Job &job = order[i];
        const Path &p = *job.path;
        if (o.status == 255 && o.out == kLockError) {
            EXPECT_EQ(o.err, "") << job.args[0] << " " << p.dev;
            ++lock_failures;
            continue;
        }
        EXPECT_EQ(o.status, 0) << job.args[0] << " " << p.dev << ": " << o.out << o.err;
        if (o.status != 0) {
            continue;
        }
        probed[p.dev] = true;
        if (job.program == kCallout) {
            auto it = overrides.find(p.dev);
            int def = default_for(p.cp, job.lunref);
            bool valid = o.out == std::to_string(def) + "\n" ||
                         (it != overrides.end() && o.out == std::to_string(it->second) + "\n");
            EXPECT_TRUE(valid) << p.dev << " answered '" << o.out << "'";
        } else {
            EXPECT_NE(o.out.find(" " + p.dev + ":" + job.args[3] + "("), std::string::npos)
                << o.out;
            confirmed[p.dev] = true;
        }
    }
    std::printf("concurrency: %zu runs, %d in flight at most, %d ended in the lock failure\n",
                order.size(), kInFlight, lock_failures);
    EXPECT_LT(lock_failures, static_cast<int>(order.size()) / 2)
        << "too few runs got the lock for the test to show anything";

    // The file holds what the runs that ended well did: a LUN's line once a
    // run on one of its paths ended well, each path probed by such a run with
    // its confirmed override or else its default, the others empty.
    std::vector<ConfRecord> records;
    ASSERT_TRUE(parse_conf(state(), &records)) << state();
    std::size_t luns_in_file = 0;
    for (int i = 0; i < kLuns; ++i) {
        const ConfRecord *rec = nullptr;
        for (const ConfRecord &r : records) {
            if (r.wwid == wwid_of(luns[i])) {
                ASSERT_EQ(rec, nullptr) << "two lines for " << r.wwid;
                rec = &r;
            }
        }
        bool touched = false;
        for (int cp = 0; cp < 4; ++cp) {
            touched = touched || probed[paths[4 * i + cp].dev];
        }
        if (!touched) {
            EXPECT_EQ(rec, nullptr) << luns[i].alias << ": stored by no run that ended well";
            continue;
        }
        ++luns_in_file;
        ASSERT_NE(rec, nullptr) << luns[i].alias;
        EXPECT_EQ(rec->alias, luns[i].alias);
        for (int cp = 0; cp < 4; ++cp) {
            const Path &p = paths[4 * i + cp];
            if (!probed[p.dev]) {
                EXPECT_EQ(rec->dev[cp][0], "x") << p.dev << ": stored by no run that ended well";
                EXPECT_EQ(rec->prio[cp][0], 0) << p.dev;
                continue;
            }
            EXPECT_EQ(rec->dev[cp][0], p.dev);
            EXPECT_EQ(rec->host[cp][0], p.host);
            int want = confirmed[p.dev] ? overrides[p.dev] : default_for(cp, luns[i].lunref);
            EXPECT_EQ(rec->prio[cp][0], want)
                << p.dev << (confirmed[p.dev] ? ": override lost" : "");
            for (int slot = 1; slot < 4; ++slot) {
                EXPECT_EQ(rec->prio[cp][slot], 0) << p.dev;
            }
        }
    }
    EXPECT_EQ(records.size(), luns_in_file) << state();
}

}  // namespace
}  // namespace e2e
