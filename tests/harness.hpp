// Runs the built programs under the simulated array, each test in a fresh
// temporary directory that holds the scenario, the redirected
// /etc/lvm/cache and the simulator's call log.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

inline constexpr const char *kTald = TALD_BIN;
inline constexpr const char *kCallout = CALLOUT_BIN;
inline constexpr const char *kSimarray = SIMARRAY_LIB;

inline constexpr std::string_view kUsage =
    "No Usage\nTry 'tald --help' for more information.\n";

/// What one run left behind. `status` is the exit status, or 1000 + the
/// signal number when the program was killed.
struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
};

/// A started run; finish() waits for it.
struct Started {
    int pid = -1;
    std::chrono::steady_clock::time_point begun;
    std::string out_path;
    std::string err_path;
};

/// One LUN of a scenario: lunref, the last designator byte (so that LUNs with
/// the same lunref still differ), the alias, or none for a page without one.
struct Lun {
    int lunref = 0;
    int tag = 0;
    std::string alias;
};

/// The designator bytes of a LUN as the scenario writes them, and the wwid
/// the probe makes of them (designator type 3).
std::string designator_hex(const Lun &lun);
std::string wwid_of(const Lun &lun);

/// One path of a scenario: node, SCSI address, controller port cp 0..3.
struct Path {
    std::string dev;
    int host = 0, channel = 0, id = 0, lun = 0;
    int cp = 0;
};

/// The scenario lines of one node.
std::string node_text(const Lun &lun, const Path &path);

/// The expected priority of a path: the default rule, restated as the table.
int default_for(int cp, int lunref);

/// One slot of an expected preference file line.
struct Slot {
    int cp;
    int slot;
    Path path;
    int prio;
};
/// The line (with its line feed) that the store writes for a LUN.
std::string conf_line(const std::string &wwid, const std::string &alias,
                      const std::vector<Slot> &slots);

/// A parsed preference file line.
struct ConfRecord {
    std::string wwid;
    std::string alias;
    std::string dev[4][4];
    int prio[4][4] = {};
    int host[4][4] = {};
};
/// Splits a file into records; false when a line is not a complete one of
/// 98 tokens.
bool parse_conf(const std::string &text, std::vector<ConfRecord> *records);

/// Fixture: a fresh directory per test; scenario, state and log inside it.
class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    void scenario(const std::string &text);
    Outcome run(const char *program, const std::vector<std::string> &args);
    Started start(const char *program, const std::vector<std::string> &args, int index);
    static Outcome finish(const Started &started);
    /// finish(), but a run still going `limit_ms` after its start is killed
    /// (SIGKILL: its status reads 1009). `elapsed_ms`, when given, receives
    /// the time from its start to its end (as seen within 2 ms).
    static Outcome finish_within(const Started &started, int limit_ms, long *elapsed_ms = nullptr);

    std::string state_path() const { return state_ + "/tald.conf"; }
    bool state_exists() const;
    std::string state() const;
    void write_state(const std::string &text) const;
    std::string sim_log() const;
    void clear_log() const;

    /// When set, the runs' standard output goes there instead of a file of
    /// the test ("/dev/full", say).
    std::string stdout_target_;
    /// The runs' standard input: /dev/null unless set.
    std::string stdin_source_ = "/dev/null";
    /// More "NAME=value" words for the runs' environment.
    std::vector<std::string> extra_env_;
    /// Moves the state directory to /dev/shm (memory) for runs that save
    /// the file many thousand times, and stops the simulator's call log.
    void use_memory_state();
    /// Moves the state directory to a fresh one under /tmp, 0755, for a
    /// test whose process of another user must reach it: the caller's
    /// TMPDIR may be private (0700).
    void use_reachable_state();
    bool sim_log_on_ = true;
    /// A state directory of the test's own outside dir_, removed at the end.
    std::string own_state_;

    std::string dir_;
    std::string state_;
    std::string scenario_path_;
    std::string log_path_;
};

std::string read_file(const std::string &path);

/// Empty when `lines` occur as whole lines of `text` in this order (others
/// may lie between them); otherwise the first line that was not found.
std::string missing_line(const std::string &text, const std::vector<std::string> &lines);

/// The system calls that strace logged (without -f), from the opening of
/// the lock file on, each as its name and its occurrence among the calls of
/// that name since the start (strace's counter for "when=").
std::vector<std::pair<std::string, int>> calls_from_lock(const std::string &log);

}  // namespace e2e
