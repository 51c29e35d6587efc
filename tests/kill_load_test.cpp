// Runs killed at random moments or at each of their system calls, and many
// runs at once, on a store of 64 LUNs with 4 paths each: whatever happens to
// a run, the preference file stays whole (one complete line per LUN) and no
// confirmed override is lost. And devices that answer malformed pages and
// replies: a default or a failed probe, never a damaged file or a LUN made of
// nothing.

#include "harness.hpp"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>
#include <utility>

namespace e2e {
namespace {

constexpr int kLuns = 64;
constexpr int kPaths = 4 * kLuns;
constexpr int kKillsWanted = 300;
constexpr int kBatch = 8;
constexpr int kMaxBatches = 400;
constexpr int kLoadRuns = 200;
constexpr const char *kLockFailure = "Error:  Unable to obtain lock.\n";
constexpr const char *kStrace = "/usr/bin/strace";
constexpr const char *kNoLeakCheck = "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0";

/// Every path's override is one fixed value, so that a run that was killed
/// after its save leaves the same value as one that was confirmed.
int override_of(int k) { return 5 + k % 4; }

class KillAndLoad : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        std::string text;
        std::string file;
        for (int i = 0; i < kLuns; ++i) {
            luns_.push_back({i, i, "rel" + std::to_string(i)});
            std::vector<Slot> slots;
            for (int cp = 0; cp < 4; ++cp) {
                int k = 4 * i + cp;
                Path p;
                p.dev = std::string("/dev/sd") + static_cast<char>('a' + k / 26) +
                        static_cast<char>('a' + k % 26);
                p.host = 2 + cp % 2;
                p.id = cp / 2;
                p.lun = i + 1;
                p.cp = cp;
                paths_.push_back(p);
                text += node_text(luns_.back(), p);
                slots.push_back({cp, 0, p, default_for(cp, i)});
            }
            file += conf_line(wwid_of(luns_.back()), luns_.back().alias, slots);
        }
        scenario(text);
        write_state(file);
        confirmed_.assign(kPaths, false);
        attempted_.assign(kPaths, false);
    }

    int default_of(int k) const { return default_for(paths_[k].cp, k / 4); }

    std::vector<std::string> set_args(int k) const
    {
        return {"--prio", "--set", paths_[k].dev, std::to_string(override_of(k))};
    }

    /// Checks the outcome of a run that was not killed: a callout answers
    /// the path's default or its override, an override is confirmed (and
    /// counted), and either may have met the bounded lock wait instead.
    void check_finished(int k, bool is_set, const Outcome &o)
    {
        if (o.status == 255 && o.out == kLockFailure) {
            ++lock_failures_;
            return;
        }
        ASSERT_EQ(o.status, 0) << paths_[k].dev << ": " << o.out << o.err;
        if (is_set) {
            ASSERT_NE(o.out.find(" " + paths_[k].dev + ":" + std::to_string(override_of(k)) + "("),
                      std::string::npos)
                << o.out;
            confirmed_[k] = true;
        } else {
            std::string def = std::to_string(default_of(k)) + "\n";
            std::string over = std::to_string(override_of(k)) + "\n";
            ASSERT_TRUE(o.out == def || o.out == over) << paths_[k].dev << ": '" << o.out << "'";
        }
    }

    /// The file holds one complete line per LUN with its four paths; every
    /// confirmed override is there; other paths hold their default, or their
    /// override when a run that set it was killed after saving.
    void check_store() const
    {
        std::vector<ConfRecord> records;
        std::string text = state();
        ASSERT_TRUE(parse_conf(text, &records)) << "damaged file:\n" << text;
        ASSERT_EQ(records.size(), static_cast<std::size_t>(kLuns)) << text;
        for (int i = 0; i < kLuns; ++i) {
            auto same = [&](const ConfRecord &r) { return r.wwid == wwid_of(luns_[i]); };
            ASSERT_EQ(std::count_if(records.begin(), records.end(), same), 1) << luns_[i].alias;
            const ConfRecord &rec = *std::find_if(records.begin(), records.end(), same);
            EXPECT_EQ(rec.alias, luns_[i].alias);
            for (int cp = 0; cp < 4; ++cp) {
                int k = 4 * i + cp;
                const Path &p = paths_[k];
                EXPECT_EQ(rec.dev[cp][0], p.dev);
                EXPECT_EQ(rec.host[cp][0], p.host);
                int prio = rec.prio[cp][0];
                if (confirmed_[k]) {
                    EXPECT_EQ(prio, override_of(k)) << p.dev << ": confirmed override lost";
                } else if (attempted_[k]) {
                    EXPECT_TRUE(prio == default_of(k) || prio == override_of(k))
                        << p.dev << ": " << prio;
                } else {
                    EXPECT_EQ(prio, default_of(k)) << p.dev;
                }
                for (int slot = 1; slot < 4; ++slot) {
                    EXPECT_EQ(rec.prio[cp][slot], 0) << p.dev;
                }
            }
        }
    }

    /// Wall-clock time of one callout on the store, in microseconds.
    long time_one_callout()
    {
        auto begin = std::chrono::steady_clock::now();
        Outcome o = run(kCallout, {paths_[0].dev});
        auto end = std::chrono::steady_clock::now();
        EXPECT_EQ(o.status, 0) << o.err;
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::microseconds>(end - begin).count());
    }

    std::vector<Lun> luns_;
    std::vector<Path> paths_;  // LUN i's path on controller port cp at 4 * i + cp
    std::vector<bool> confirmed_;
    std::vector<bool> attempted_;
    int lock_failures_ = 0;
};

void sleep_us(long us)
{
    if (us <= 0) {
        return;
    }
    struct timespec ts = {us / 1000000, (us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

TEST_F(KillAndLoad, RunsKilledAtRandomMomentsLoseNothing)
{
    std::random_device device;
    const unsigned seed = device();
    std::mt19937 rng(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    // Overrides before the killing starts, all confirmed.
    for (int k = 0; k < kPaths; k += 17) {
        attempted_[k] = true;
        ASSERT_NO_FATAL_FAILURE(check_finished(k, true, run(kTald, set_args(k))));
        ASSERT_TRUE(confirmed_[k]);
    }
    long run_us = std::max(time_one_callout(), 1000L);
    lock_failures_ = 0;

    // Batches of runs started together, each killed at a random moment
    // between its start and three times the length of a whole run: in the loader,
    // while waiting for the lock, probing, loading, saving, or after it ended.
    std::uniform_int_distribution<int> pick_path(0, kPaths - 1);
    std::uniform_int_distribution<long> pick_delay(0, 3 * run_us);
    int kills = 0;
    int finished = 0;
    for (int batch = 0; batch < kMaxBatches && kills < kKillsWanted; ++batch) {
        struct Victim {
            int k;
            bool is_set;
            long delay;
            Started started;
        };
        std::vector<Victim> victims;
        for (int n = 0; n < kBatch; ++n) {
            int k = pick_path(rng);
            bool is_set = (rng() % 3) == 0;
            attempted_[k] = attempted_[k] || is_set;
            victims.push_back({k, is_set, pick_delay(rng), {}});
        }
        auto begin = std::chrono::steady_clock::now();
        for (std::size_t n = 0; n < victims.size(); ++n) {
            Victim &v = victims[n];
            v.started = v.is_set ? start(kTald, set_args(v.k), static_cast<int>(n))
                                 : start(kCallout, {paths_[v.k].dev}, static_cast<int>(n));
        }
        std::sort(victims.begin(), victims.end(),
                  [](const Victim &a, const Victim &b) { return a.delay < b.delay; });
        for (Victim &v : victims) {
            long elapsed = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                 std::chrono::steady_clock::now() - begin)
                                                 .count());
            sleep_us(v.delay - elapsed);
            kill(v.started.pid, SIGKILL);
        }
        for (Victim &v : victims) {
            Outcome o = finish(v.started);
            if (o.status == 1000 + SIGKILL) {
                ++kills;
                continue;
            }
            ++finished;
            ASSERT_NO_FATAL_FAILURE(check_finished(v.k, v.is_set, o));
        }
    }
    std::printf("kill test: %d runs killed, %d finished (%d at the lock bound), %d overrides "
                "confirmed, run %ld us\n",
                kills, finished, lock_failures_,
                static_cast<int>(std::count(confirmed_.begin(), confirmed_.end(), true)), run_us);
    ASSERT_GE(kills, kKillsWanted);
    check_store();

    // A killed run leaves nothing that stops the next one.
    lock_failures_ = 0;
    ASSERT_NO_FATAL_FAILURE(check_finished(1, false, run(kCallout, {paths_[1].dev})));
    attempted_[9] = true;
    ASSERT_NO_FATAL_FAILURE(check_finished(9, true, run(kTald, set_args(9))));
    EXPECT_EQ(lock_failures_, 0);
    EXPECT_TRUE(confirmed_[9]);
    check_store();
}

TEST_F(KillAndLoad, TwoHundredSimultaneousRunsLoseNoOverride)
{
    // Every fourth run an override, each on a path of its own; the callouts
    // spread over all paths, the overridden ones included.
    struct Job {
        int k;
        bool is_set;
        Started started;
    };
    std::vector<Job> jobs;
    for (int n = 0; n < kLoadRuns; ++n) {
        bool is_set = n % 4 == 0;
        int k = is_set ? (n / 4) * 5 % kPaths : (n * 37 + 3) % kPaths;
        attempted_[k] = attempted_[k] || is_set;
        jobs.push_back({k, is_set, {}});
    }
    for (std::size_t n = 0; n < jobs.size(); ++n) {
        Job &j = jobs[n];
        j.started = j.is_set ? start(kTald, set_args(j.k), static_cast<int>(n))
                             : start(kCallout, {paths_[j.k].dev}, static_cast<int>(n));
    }
    int done = 0;
    for (Job &j : jobs) {
        ASSERT_NO_FATAL_FAILURE(check_finished(j.k, j.is_set, finish(j.started)));
        ++done;
    }
    std::printf("load test: %d runs, %d at the lock bound, %d overrides confirmed\n", done,
                lock_failures_,
                static_cast<int>(std::count(confirmed_.begin(), confirmed_.end(), true)));
    EXPECT_LE(lock_failures_, kLoadRuns / 2) << "most runs should get the lock in time";
    check_store();
}

/// The system calls that strace logged (without -f), from the opening of
/// the lock file on, each as its name and its occurrence among the calls of
/// that name since the start (strace's counter for "when=").
std::vector<std::pair<std::string, int>> calls_from_lock(const std::string &log)
{
    std::vector<std::pair<std::string, int>> calls;
    std::map<std::string, int> seen;
    std::istringstream lines(log);
    std::string line;
    bool locked = false;
    while (std::getline(lines, line)) {
        std::size_t paren = line.find('(');
        if (paren == std::string::npos || paren == 0 || line[0] == '+' || line[0] == '-') {
            continue;
        }
        std::string name = line.substr(0, paren);
        int occurrence = ++seen[name];
        locked = locked || line.find("tald.lock") != std::string::npos;
        if (locked) {
            calls.emplace_back(name, occurrence);
        }
    }
    return calls;
}

TEST_F(KillAndLoad, RunKilledAtEachSystemCallLosesNothing)
{
    if (access(kStrace, X_OK) != 0) {
        GTEST_SKIP() << "strace is not installed (tools/setup.sh installs it)";
    }
    const std::string initial = state();
    const std::string log = dir_ + "/strace.log";
    // A new override, and a callout that rewrites the file unchanged.
    const int set_path = 42;
    const int callout_path = 43;
    attempted_[set_path] = true;
    struct Case {
        const char *program;
        std::vector<std::string> args;
        int k;
    };
    const std::vector<Case> cases = {{kTald, set_args(set_path), set_path},
                                     {kCallout, {paths_[callout_path].dev}, callout_path}};
    int points = 0;
    int kills = 0;
    for (const Case &c : cases) {
        // LeakSanitizer cannot work under ptrace (sanitizer build).
        const std::vector<std::string> env = {"-E", kNoLeakCheck};
        std::vector<std::string> args = {"-qq", "-o", log, env[0], env[1], c.program};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome traced = run(kStrace, args);
        ASSERT_EQ(traced.status, 0) << traced.out << traced.err;
        auto calls = calls_from_lock(read_file(log));
        ASSERT_GT(calls.size(), 10u) << read_file(log);
        for (const auto &[name, occurrence] : calls) {
            SCOPED_TRACE(std::string(c.program) + " killed at " + name + " #" +
                         std::to_string(occurrence));
            write_state(initial);
            std::vector<std::string> inject = {
                "-qq", "-o", "/dev/null", env[0], env[1], "-e", "trace=" + name,
                "-e", "inject=" + name + ":signal=KILL:when=" + std::to_string(occurrence),
                c.program};
            inject.insert(inject.end(), c.args.begin(), c.args.end());
            Outcome o = run(kStrace, inject);
            ++points;
            if (o.status == 1000 + SIGKILL) {
                ++kills;
            } else {
                ASSERT_NO_FATAL_FAILURE(check_finished(c.k, c.program == kTald, o));
            }
            ASSERT_NO_FATAL_FAILURE(check_store());
            confirmed_[c.k] = false;
        }
    }
    std::printf("system call kills: %d of %d points killed a run\n", kills, points);
    EXPECT_EQ(kills, points);
    // Whatever the last kill left behind, the next run succeeds.
    ASSERT_NO_FATAL_FAILURE(check_finished(set_path, true, run(kTald, set_args(set_path))));
    EXPECT_TRUE(confirmed_[set_path]);
    check_store();
}

/// A malformed answer of one simulated device: the scenario lines after its
/// "node" and "addr" lines.
struct Answer {
    std::string name;
    std::string lines;
};

std::vector<Answer> malformed_answers()
{
    // The identification page of a healthy LUN: one NAA designator of 16
    // bytes, then the alias "vol_db01".
    const std::string page =
        "00 83 00 20 01 03 00 10 60 00 1c 7a 55 0d 00 00 00 00 00 00 00 00 00 01 "
        "02 00 00 08 76 6f 6c 5f 64 62 30 31";
    const std::string port = "port 1 1\n";
    std::vector<Answer> answers;
    // Every truncation of the page, its length field still promising all.
    for (std::size_t n = 0; n * 3 < page.size(); ++n) {
        answers.push_back({"page cut to " + std::to_string(n) + " bytes",
                           "page83 " + page.substr(0, n * 3) + "\n" + port});
    }
    const std::string tail = page.substr(4 * 3);  // the descriptors
    const std::string desig = "designator 3 60 0a 0b 80 00 ";
    std::vector<Answer> more = {
        {"page length 0xffff", "page83 00 83 ff ff " + tail + "\n" + port},
        {"page length 300", "page83 00 83 01 2c " + tail + "\n" + port},
        {"page length 0", "page83 00 83 00 00 " + tail + "\n" + port},
        {"designator of 255 in a short page", "page83 00 83 00 0c 01 03 00 ff 60 00 1c 7a\n" + port},
        {"designator of 0 bytes", "page83 00 83 00 04 01 03 00 00\n" + port},
        {"alias claiming 255 bytes", "page83 00 83 00 1b 01 03 00 08 60 0b 0b 80 00 00 00 02 "
                                     "02 00 00 ff 61 62 63\n" + port},
        {"descriptor running past the page", "page83 00 83 00 08 01 03 00 f0 60 0c\n" + port},
        {"terminal escapes in the alias", desig + "0d\nalias \"\\x1b[31mred\\x1b[0m\\x07\"\n" + port},
        {"alias of NUL bytes", desig + "0e\nalias \"\\x00\\x00\\x00\"\n" + port},
        {"separators in the alias", desig + "0f\nalias \"a,b:c%d\"\n" + port},
        {"alias of 255 bytes", desig + "10\nalias \"" + std::string(255, 'L') + "\"\n" + port},
        {"two aliases", desig + "11\nalias \"one\"\nalias \"two\"\n" + port},
        {"designator of 255 bytes", "designator 3 " + [] {
             std::string hex;
             for (int i = 0; i < 255; ++i) {
                 char byte[4];
                 std::snprintf(byte, sizeof byte, "%02x ", i);
                 hex += byte;
             }
             return hex;
         }() + "\n" + port},
        {"empty reply", desig + "12\nreply\n"},
        {"reply of 4 bytes", desig + "13\nreply 00 00 00 00\n"},
        {"reply of 7 bytes", desig + "14\nreply 00 00 00 00 01 01 f1\n"},
        {"marker of the other controller", desig + "15\nreply 00 00 00 00 01 01 00 f1\n"},
        {"controller 3", desig + "16\nport 3 1\n"},
        {"port 0", desig + "17\nport 1 0\n"},
        {"reply of 64 bytes", desig + "18\nreply 00 00 00 00 02 02 00 f1" +
                                  [] {
                                      std::string hex;
                                      for (int i = 8; i < 64; ++i) {
                                          hex += " ff";
                                      }
                                      return hex;
                                  }() + "\n"},
        {"no reply at all", desig + "19\n"},
        {"inquiry ends in CHECK CONDITION", desig + "1a\nfault inquiry check\n" + port},
        {"READ BUFFER ends in CHECK CONDITION", desig + "1b\nfault readbuffer check\n" + port},
        {"SG_IO fails with EIO", desig + "1c\nfault sgio EIO\n" + port},
        {"address request fails", desig + "1d\nfault idlun EINVAL\n" + port},
        {"node cannot be opened", desig + "1e\nfault open ENXIO\n" + port},
    };
    answers.insert(answers.end(), more.begin(), more.end());
    return answers;
}

class DeviceAnswers : public SimTest {};

TEST_F(DeviceAnswers, MalformedAnswersGiveADefaultOrAFailedProbeAndAWholeFile)
{
    const std::vector<Answer> answers = malformed_answers();
    std::string text;
    std::vector<std::string> devs;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        devs.push_back("/dev/sdm" + std::to_string(i));
        text += "node " + devs[i] + "\naddr 2 0 " + std::to_string(i) + " 1\n" + answers[i].lines;
    }
    scenario(text);

    int failed = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        SCOPED_TRACE(answers[i].name);
        Outcome get = run(kCallout, {devs[i]});
        ASSERT_EQ(get.status, 0) << get.err;
        ASSERT_TRUE(get.out.size() == 2 && get.out[0] >= '0' && get.out[0] <= '4' &&
                    get.out[1] == '\n')
            << "'" << get.out << "'";
        // A reset, not an override: several of these pages give one wwid,
        // and an override would show in the next one's answer.
        std::string before = state();
        Outcome set = run(kTald, {"--prio", "--set", devs[i], "0"});
        if (get.out == "0\n") {
            // A failed probe stores nothing and confirms nothing.
            ++failed;
            EXPECT_NE(set.status, 0) << set.out;
            EXPECT_EQ(set.out.find(devs[i] + ":"), std::string::npos) << set.out;
            EXPECT_EQ(state(), before);
        } else {
            EXPECT_EQ(set.status, 0) << set.out << set.err;
            EXPECT_NE(set.out.find(" " + devs[i] + ":" + get.out[0] + "("), std::string::npos)
                << set.out;
        }
        std::vector<ConfRecord> records;
        ASSERT_TRUE(parse_conf(state(), &records)) << state();
    }
    std::vector<ConfRecord> records;
    ASSERT_TRUE(parse_conf(state(), &records));
    for (const ConfRecord &r : records) {
        // A type digit and at least one designator byte.
        EXPECT_GE(r.wwid.size(), 3u) << "a LUN stored without designator: " << r.wwid;
    }
    std::printf("device answers: %zu malformed, %d failed probes\n", answers.size(), failed);
}

}  // namespace
}  // namespace e2e
