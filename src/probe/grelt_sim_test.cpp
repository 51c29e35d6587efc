// The probe against the simulated array. Each test runs itself again in a
// child process with libsimarray preloaded and the test's own scenario and
// call log, so that no test depends on when the simulator reads its
// environment or on what another test left in the log.
#include "probe/grelt.hpp"

#include "base/text.hpp"
#include "probe/sg_io.hpp"
#include "trace/trace.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char *kChildMarker = "PROBE_SIM_CHILD";

#define TARGET_PAGE                                                                         \
    "00 83 00 6c 02 01 00 1c 4c 69 6e 75 78 20 20 20 73 63 73 69 5f 64 65 62 "              \
    "75 67 20 20 20 20 20 20 32 30 30 30 01 03 00 10 60 00 00 00 00 00 00 00 "              \
    "00 00 00 00 00 00 aa 01 61 94 00 04 00 00 00 01 61 93 00 08 52 22 22 22 "              \
    "20 00 00 00 01 95 00 04 00 00 00 00 63 a8 00 0c 6e 61 61 2e 35 32 32 32 "              \
    "32 32 32 32 62 a0 00 08 76 6f 6c 20 37 20 20 20"

constexpr const char *kScenario = R"(# nodes of the probe tests
node /dev/sdb
addr 3 0 5 1
designator 3 61 23 45 67 89 ab cd ef
alias "LUN 01    "
port 1 2

node /dev/sdc               # rejects the identification page
addr 2 0 1 4
designator 3 60 0a 0b 0c 0d 0e 0f 10
alias "DB"
port 1 1
fault inquiry check

node /dev/sdd               # no alias
addr 2 1 0 7
designator 3 60 0a 0b 0c 0d 0e 0f 10
port 2 1

node /dev/sde               # controller 2 with controller 1's marker
addr 3 0 1 2
designator 3 60 0a 0b 0c 0d 0e 0f 11
alias "LUN_02"
reply 00 00 00 00 01 02 f1 00

node /dev/sdf
addr 3 0 1 3
fault idlun EINVAL

node /dev/sdg
addr 3 0 1 4
designator 3 60 0a 0b 0c 0d 0e 0f 12
port 1 1
fault sgio EIO

node /dev/sdh               # rejects the controller-port query
addr 4 0 1 5
designator 3 60 0a 0b 0c 0d 0e 0f 13
alias "LUN 05"
fault readbuffer check

node /dev/sdi               # a reply shorter than the 8 bytes asked for
addr 4 0 1 6
designator 3 60 0a 0b 0c 0d 0e 0f 14
alias "LUN 06"
reply 00 00 00 00

node /dev/sdj
addr 4 0 1 7
fault open EACCES

node /dev/sdk               # blank alias, controller 2 port 2
addr 5 0 3 9
designator 2 01 2c
alias "      "
port 2 2

node /dev/sdn               # a host number past the packed address's byte
addr 258 0 5 1
designator 3 61 23 45 67 89 ab cd ef
alias "LUN 01"
port 1 2

node /dev/sdo               # the same, on a kernel that does not tell it
addr 258 0 5 1
fault busno EINVAL

node /dev/sdp               # a slow path: its commands take 400 ms
addr 7 0 0 1
designator 3 61 23 45 67 89 ab cd ef
port 1 1
fault delay 400
)"
    // A page as a generic target builds it: T10 vendor id first, then NAA,
    // relative port, target port, port group, SCSI name string (protocol,
    // PIV and association bits set), the alias last; junk in reply bytes 0-3.
    "node /dev/sdl\naddr 6 0 2 3\nreply de ad be ef 02 02 00 f1\n" "page83 " TARGET_PAGE "\n"
    "node /dev/sdm\naddr 6 0 2 4\nfault readbuffer check\n" "page83 " TARGET_PAGE "\n";

struct VerbosityGuard {
    int saved = log_verbosity;
    ~VerbosityGuard() { log_verbosity = saved; }
};

std::string test_name()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

/// In the parent: runs the current test in a child under the simulator with
/// kScenario, waits for it and returns false. In the child: returns true and
/// the test body runs there.
bool under_simulator()
{
    if (std::getenv(kChildMarker) != nullptr)
        return true;

    std::string dir_template = (std::filesystem::temp_directory_path() / "probe_sim.XXXXXX").string();
    const char *dir = ::mkdtemp(dir_template.data());
    if (dir == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return false;
    }
    std::string scenario = std::string(dir) + "/probe.scn";
    std::string log = std::string(dir) + "/calls.log";
    std::string state = std::string(dir) + "/state";
    EXPECT_TRUE(write_file(scenario, kScenario));
    EXPECT_TRUE(write_file(log, ""));
    EXPECT_EQ(::mkdir(state.c_str(), 0700), 0);
    std::string filter = "--gtest_filter=" + test_name();

    pid_t child = ::fork();
    if (child == 0) {
        ::setenv(kChildMarker, dir, 1);
        ::setenv("SIMARRAY_SCENARIO", scenario.c_str(), 1);
        ::setenv("SIMARRAY_LOG", log.c_str(), 1);
        ::setenv("SIMARRAY_STATE_DIR", state.c_str(), 1);
        ::setenv("LD_PRELOAD", SIMARRAY_LIBRARY, 0);
        ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 0);
        char *const argv[] = {const_cast<char *>("probe_sim_tests"), filter.data(), nullptr};
        ::execv("/proc/self/exe", argv);
        ::_exit(127);
    }
    int status = 0;
    EXPECT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the child run of " << test_name() << " failed (status " << status << ")";

    for (const std::string &path : {scenario, log})
        ::unlink(path.c_str());
    ::rmdir(state.c_str());
    ::rmdir(dir);
    return false;
}

/// The child's own temporary directory.
std::string child_dir() { return std::getenv(kChildMarker); }

std::vector<std::string> call_log()
{
    std::ifstream in(std::getenv("SIMARRAY_LOG"));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

int open_descriptors()
{
    DIR *fds = ::opendir("/proc/self/fd");
    int count = 0;
    while (::readdir(fds) != nullptr)
        ++count;
    ::closedir(fds);
    return count;
}

/// Runs `call` with the trace at `verbosity`, checks that it leaves no
/// descriptor open, and returns what it traced.
template <typename Call>
std::string traced(int verbosity, Call call)
{
    VerbosityGuard guard;
    log_verbosity = verbosity;
    int before = open_descriptors();
    testing::internal::CaptureStderr();
    call();
    std::string trace = testing::internal::GetCapturedStderr();
    EXPECT_EQ(open_descriptors(), before) << "descriptor left open";
    return trace;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(SgIoSim, AddressDecoding)
{
    if (!under_simulator())
        return;
    int host = -1, channel = -1, id = -1, lun = -1;
    std::string trace = traced(7, [&] {
        EXPECT_EQ(sg_io_get_scsi_addr("/dev/sdb", &host, &channel, &id, &lun), 0);
    });
    EXPECT_EQ(host, 3);
    EXPECT_EQ(channel, 0);
    EXPECT_EQ(id, 5);
    EXPECT_EQ(lun, 1);
    EXPECT_TRUE(contains(trace, "[58] SCSI_IOCTL_GET_IDLUN success.  Returned 0 (four: 3000105, "))
        << trace;
    EXPECT_TRUE(contains(trace, "[63] Scsi address is 3:0:5:1\n")) << trace;
    EXPECT_EQ(call_log(), (std::vector<std::string>{"open /dev/sdb flags=0x80800", "idlun /dev/sdb",
                                                    "busno /dev/sdb", "close /dev/sdb"}));
}

TEST(SgIoSim, HostNumberComesWholeFromTheKernel)
{
    if (!under_simulator())
        return;
    struct Case {
        const char *dev;
        int host;           ///< what the address request gives
        const char *trace;  ///< its level-7 address line
    } const cases[] = {
        {"/dev/sdn", 258, "[63] Scsi address is 258:0:5:1\n"},
        // Without SCSI_IOCTL_GET_BUS_NUMBER only the packed byte is known.
        {"/dev/sdo", 2, "[63] Scsi address is 2:0:5:1\n"},
    };
    for (const Case &c : cases) {
        int host = -1, channel = -1, id = -1, lun = -1;
        std::string trace = traced(7, [&] {
            EXPECT_EQ(sg_io_get_scsi_addr(c.dev, &host, &channel, &id, &lun), 0);
        });
        EXPECT_EQ(host, c.host) << c.dev;
        EXPECT_EQ(channel * 1000000 + id * 1000 + lun, 5001) << c.dev;
        EXPECT_TRUE(contains(trace, "(four: 2000105, ")) << trace;
        EXPECT_TRUE(contains(trace, c.trace)) << trace;
    }
    pathinfo rec;
    EXPECT_EQ(grelt_info("/dev/sdn", &rec), 1);
    EXPECT_EQ(rec.host, 258);
    EXPECT_EQ(rec.slot_host[rec.cp][0], 258);
}

TEST(SgIoSim, MissingNode)
{
    if (!under_simulator())
        return;
    std::string missing = child_dir() + "/sdz";
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 8, 0};
    int host = -1, channel = -1, id = -1, lun = -1, duration = -7;

    std::string trace = traced(4, [&] {
        EXPECT_EQ(sg_io_do_command(missing.c_str(), cdb, 6, buf, 8), -1);
        EXPECT_EQ(sg_io_get_scsi_addr(missing.c_str(), &host, &channel, &id, &lun), -1);
        EXPECT_EQ(sg_io_get_cmd_latency(missing.c_str(), 1000, &duration), -1);
    });
    EXPECT_EQ(trace, "[84] 6 4\n[92] Opening the device [" + missing +
                         "] failed.  Errno: 0x2\n[47] Opening the device [" + missing +
                         "] failed.  Errno: 0x2\n[162] Opening the device failed: " + missing +
                         "\n");
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(host + channel + id + lun, -4);
    EXPECT_EQ(duration, -7);

    pathinfo rec;
    std::memset(&rec, 0x5a, sizeof rec);
    trace = traced(4, [&] { EXPECT_EQ(grelt_info(missing.c_str(), &rec), -1); });
    EXPECT_TRUE(contains(trace, "[264] ERROR[-1] getting SCSI address: " + missing + "\n"))
        << trace;
    EXPECT_EQ(rec.host, 0);
    EXPECT_STREQ(rec.wwid, "");
}

TEST(SgIoSim, RegularFileRejectsTheCommands)
{
    if (!under_simulator())
        return;
    std::string file = child_dir() + "/plain";
    ASSERT_TRUE(write_file(file, "not a device\n"));
    unsigned char buf[8] = {};
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 8, 0};
    int host = -1, channel = -1, id = -1, lun = -1, duration = -7;

    std::string trace = traced(7, [&] {
        EXPECT_EQ(sg_io_do_command(file.c_str(), cdb, 6, buf, 8), -1);
        EXPECT_EQ(sg_io_get_scsi_addr(file.c_str(), &host, &channel, &id, &lun), -1);
        EXPECT_EQ(sg_io_get_cmd_latency(file.c_str(), 1000, &duration), -1);
    });
    EXPECT_EQ(trace, "[84] 6 4\n[114] sg_io_do_command *** sending command to [" + file +
                         "] failed.  Errno: 0x19\n"
                         "[68] SCSI_IOCTL_GET_IDLUN failed (-1)(25)(Inappropriate ioctl for "
                         "device)\n[182] sending command failed: " +
                         file + "\n");
    EXPECT_EQ(host, -1);
    EXPECT_EQ(duration, 0);
    ::unlink(file.c_str());
}

TEST(SgIoSim, FaultsOfTheNode)
{
    if (!under_simulator())
        return;
    unsigned char buf[8] = {};
    const unsigned char cdb[6] = {0x12, 0, 0, 0, 8, 0};
    int host = -1, channel = -1, id = -1, lun = -1, duration = -7;
    std::string trace = traced(7, [&] {
        EXPECT_EQ(sg_io_get_scsi_addr("/dev/sdf", &host, &channel, &id, &lun), -1);
        EXPECT_EQ(sg_io_do_command("/dev/sdg", cdb, 6, buf, 8), -1);
        EXPECT_EQ(sg_io_get_cmd_latency("/dev/sdg", 1000, &duration), -1);
        EXPECT_EQ(sg_io_get_scsi_addr("/dev/sdj", &host, &channel, &id, &lun), -1);
    });
    EXPECT_EQ(trace, "[68] SCSI_IOCTL_GET_IDLUN failed (-1)(22)(Invalid argument)\n"
                     "[84] 6 4\n"
                     "[114] sg_io_do_command *** sending command to [/dev/sdg] failed.  Errno: 0x5\n"
                     "[182] sending command failed: /dev/sdg\n"
                     "[47] Opening the device [/dev/sdj] failed.  Errno: 0xd\n");
    EXPECT_EQ(host, -1);
    EXPECT_EQ(duration, 0);
}

TEST(SgIoSim, CheckConditionIsReportedAsMinusTwo)
{
    if (!under_simulator())
        return;
    unsigned char page[255] = {};
    const unsigned char inquiry[6] = {0x12, 0x01, 0x83, 0x00, 0xff, 0x00};
    const unsigned char unsupported[6] = {0x12, 0x01, 0x80, 0x00, 0xff, 0x00};
    std::string trace = traced(7, [&] {
        EXPECT_EQ(sg_io_do_command("/dev/sdc", inquiry, 6, page, 255), -2);
        EXPECT_EQ(sg_io_do_command("/dev/sdb", unsupported, 6, page, 255), -2);
        EXPECT_EQ(sg_io_do_command("/dev/sdb", inquiry, 6, page, 255), 0);
    });
    EXPECT_EQ(trace, "[84] 6 4\n[84] 6 4\n[84] 6 4\n");
    EXPECT_EQ(page[1], 0x83);
}

TEST(SgIoSim, CommandLatency)
{
    if (!under_simulator())
        return;
    int duration = -7;
    std::string trace = traced(7, [&] {
        EXPECT_EQ(sg_io_get_cmd_latency("/dev/sdb", 5000, &duration), 0);
    });
    EXPECT_EQ(trace, "");
    EXPECT_GE(duration, 0);
    EXPECT_EQ(call_log(),
              (std::vector<std::string>{"open /dev/sdb flags=0x80800",
                                        "sgio /dev/sdb len=6 cdb=12 00 00 00 ff 00 dxfer=255",
                                        "close /dev/sdb"}));
}

TEST(GreltSim, FullProbeOfANormalNode)
{
    if (!under_simulator())
        return;
    pathinfo rec;
    std::memset(&rec, 0x5a, sizeof rec);
    std::string trace = traced(7, [&] { EXPECT_EQ(grelt_info("/dev/sdb", &rec), 1); });

    pathinfo expected{};
    copy_field(expected.wwid, kWwidSize, "36123456789abcdef");
    copy_field(expected.text_name, kTextNameSize, "LUN_01");
    expected.lunref = 291;
    expected.cp = 1;
    copy_field(expected.dev, kDevSize, "/dev/sdb");
    expected.host = 3;
    expected.channel = 0;
    expected.id = 5;
    expected.lun = 1;
    copy_field(expected.slot_dev[1][0], kDevSize, "/dev/sdb");
    expected.slot_host[1][0] = 3;
    expected.slot_channel[1][0] = 0;
    expected.slot_id[1][0] = 5;
    expected.slot_lun[1][0] = 1;
    EXPECT_EQ(std::memcmp(&rec, &expected, sizeof rec), 0)
        << "wwid " << rec.wwid << " text_name " << rec.text_name << " cp " << rec.cp;

    EXPECT_TRUE(contains(trace, "[250] ENTRY dev: /dev/sdb\n")) << trace;
    EXPECT_TRUE(contains(trace, "[209] wwid: 36123456789abcdef\n[217] ENTRY\n[226] ref_id: 291\n"
                                "[84] 16 4\n[49] ENTRY\n[65] controller_port: 1; ret: 0\n"))
        << trace;
    EXPECT_TRUE(contains(trace, "[180] text_name[11]: \"LUN_01\"\n[334] EXIT[1]: /dev/sdb\n"))
        << trace;
}

TEST(GreltSim, PageOfAGenericTargetTracedWhole)
{
    if (!under_simulator())
        return;
    pathinfo rec;
    std::string trace = traced(7, [&] { EXPECT_EQ(grelt_info("/dev/sdl", &rec), 1); });
    const std::string wwid = "14c696e7578202020736373695f646562756720202020202032303030";
    EXPECT_EQ(trace, "[250] ENTRY dev: /dev/sdl\n"
                     "[58] SCSI_IOCTL_GET_IDLUN success.  Returned 0 (four: 6000302, unique: 6).\n"
                     "[63] Scsi address is 6:0:2:3\n"
                     "[84] 6 4\n"
                     "[192] ENTRY\n"
                     "[209] wwid: " + wwid + "\n"
                     "[217] ENTRY\n"
                     "[226] ref_id: 105\n"
                     "[84] 16 4\n"
                     "[49] ENTRY\n"
                     "[65] controller_port: 3; ret: 0\n"
                     "[116] ENTRY\n"
                     "[78] Analyzing page code 83\n"
                     "[95] CodeSet 2, Identifier type 1\n"
                     "[95] CodeSet 1, Identifier type 3\n"
                     "[95] CodeSet 1, Identifier type 4\n"
                     "[95] CodeSet 1, Identifier type 3\n"
                     "[95] CodeSet 1, Identifier type 5\n"
                     "[95] CodeSet 3, Identifier type 8\n"
                     "[95] CodeSet 2, Identifier type 0\n"
                     "[101] Found ASCII vendor specific identifier.\n"
                     "[144] Alias length = 8\n"
                     "[146] Alias is vol 7   \n"
                     "[180] text_name[9]: \"vol_7\"\n"
                     "[334] EXIT[1]: /dev/sdl\n");
    EXPECT_STREQ(rec.wwid, wwid.c_str());
    EXPECT_EQ(rec.lunref, 105);
    EXPECT_STREQ(rec.slot_dev[3][0], "/dev/sdl");

    // The same target refusing the controller-port query.
    trace = traced(4, [&] { EXPECT_EQ(grelt_info("/dev/sdm", &rec), -2); });
    EXPECT_EQ(trace, "[84] 6 4\n[84] 16 4\n[303] ERROR[-2] getting grelt info: /dev/sdm\n");
    EXPECT_STREQ(rec.wwid, wwid.c_str());
    EXPECT_EQ(rec.lunref, 105);
    EXPECT_STREQ(rec.dev, "");
    EXPECT_STREQ(rec.text_name, "");
}

TEST(GreltSim, CommandBlocksAndOpenFlagsSent)
{
    if (!under_simulator())
        return;
    pathinfo rec;
    EXPECT_EQ(grelt_info("/dev/sdb", &rec), 1);
    EXPECT_EQ(call_log(),
              (std::vector<std::string>{
                  "open /dev/sdb flags=0x80800",
                  "idlun /dev/sdb",
                  "busno /dev/sdb",
                  "sgio /dev/sdb len=6 cdb=12 01 83 00 ff 00 dxfer=255",
                  "sgio /dev/sdb len=16 cdb=3c 02 40 00 00 00 00 00 08 00 00 00 00 00 00 00 "
                  "dxfer=8",
                  "close /dev/sdb",
              }));
}

/// The descriptors that a program started now holds, as it lists them.
std::vector<std::string> descriptors_of_a_child()
{
    std::vector<std::string> found;
    FILE *ls = ::popen("exec /bin/ls /proc/self/fd", "r");
    if (ls == nullptr)
        return {"popen failed"};
    char name[64];
    while (std::fscanf(ls, "%63s", name) == 1) {
        found.push_back(name);
    }
    ::pclose(ls);
    return found;
}

TEST(GreltSim, ChildExecutedDuringAProbeHoldsNoDeviceDescriptor)
{
    if (!under_simulator())
        return;
    // The probe holds the node (a descriptor on /dev/null) while its slow
    // commands run; a program started then must see no more descriptors than
    // one started before the probe.
    std::vector<std::string> before = descriptors_of_a_child();
    pathinfo rec;
    std::thread probe([&] { EXPECT_EQ(grelt_info("/dev/sdp", &rec), 0); });
    // Once the node is open, its two commands hold it for 800 ms more.
    for (int i = 0; i < 5000 && call_log().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::vector<std::string> during = descriptors_of_a_child();
    probe.join();
    EXPECT_EQ(during, before);
    EXPECT_EQ(call_log().front(), "open /dev/sdp flags=0x80800");
}

TEST(GreltSim, FailingSteps)
{
    if (!under_simulator())
        return;
    struct Case {
        const char *dev;
        int result;
        std::string trace;  ///< the line of grelt_info that reports the failure
    } const cases[] = {
        {"/dev/sdc", -2, "[277] ERROR[-2] getting SCSI INQ page 0x83: /dev/sdc\n"},
        {"/dev/sde", -1, "[311] ERROR[-1] getting controller/port: /dev/sde\n"},
        {"/dev/sdf", -1, "[264] ERROR[-1] getting SCSI address: /dev/sdf\n"},
        {"/dev/sdg", -1, "[277] ERROR[-1] getting SCSI INQ page 0x83: /dev/sdg\n"},
        {"/dev/sdh", -2, "[303] ERROR[-2] getting grelt info: /dev/sdh\n"},
        {"/dev/sdj", -1, "[264] ERROR[-1] getting SCSI address: /dev/sdj\n"},
    };
    for (const Case &c : cases) {
        pathinfo rec;
        std::memset(&rec, 0x5a, sizeof rec);
        std::string trace = traced(4, [&] { EXPECT_EQ(grelt_info(c.dev, &rec), c.result); });
        EXPECT_TRUE(contains(trace, c.trace)) << c.dev << ":\n" << trace;
        // Nothing but the steps before the failure leaves a trace in the record.
        EXPECT_STREQ(rec.text_name, "") << c.dev;
        EXPECT_STREQ(rec.dev, "") << c.dev;
        EXPECT_STREQ(rec.slot_dev[1][0], "") << c.dev;
    }
}

TEST(GreltSim, CheckConditionOnTheInquiryLeavesOnlyTheAddress)
{
    if (!under_simulator())
        return;
    pathinfo rec;
    std::memset(&rec, 0x5a, sizeof rec);
    EXPECT_EQ(grelt_info("/dev/sdc", &rec), -2);
    pathinfo expected{};
    expected.host = 2;
    expected.channel = 0;
    expected.id = 1;
    expected.lun = 4;
    EXPECT_EQ(std::memcmp(&rec, &expected, sizeof rec), 0);
}

TEST(GreltSim, UnrecognisedReplyLeavesCpUndetermined)
{
    if (!under_simulator())
        return;
    pathinfo rec;
    EXPECT_EQ(grelt_info("/dev/sde", &rec), -1);
    EXPECT_EQ(rec.cp, -1);
    EXPECT_STREQ(rec.wwid, "3600a0b0c0d0e0f11");
}

TEST(GreltSim, NoAliasGivesThePlaceholder)
{
    if (!under_simulator())
        return;
    struct Case {
        const char *dev;
        const char *wwid;
        int lunref, cp;
    } const cases[] = {
        {"/dev/sdd", "3600a0b0c0d0e0f10", 10, 2},
        {"/dev/sdk", "2012c", 300, 3},
    };
    for (const Case &c : cases) {
        pathinfo rec;
        std::string trace = traced(4, [&] { EXPECT_EQ(grelt_info(c.dev, &rec), 0); });
        EXPECT_EQ(trace, std::string("[84] 6 4\n[84] 16 4\n[330] ERROR[0] getting alias: ") + c.dev +
                             "\n");
        EXPECT_STREQ(rec.text_name, "???");
        EXPECT_STREQ(rec.wwid, c.wwid);
        EXPECT_EQ(rec.lunref, c.lunref);
        EXPECT_EQ(rec.cp, c.cp);
        EXPECT_STREQ(rec.slot_dev[c.cp][0], c.dev);
    }
}

TEST(GreltSim, NothingOfAnEarlierProbeSurvives)
{
    if (!under_simulator())
        return;
    pathinfo rec;
    ASSERT_EQ(grelt_info("/dev/sdb", &rec), 1);
    // The short reply leaves bytes 4-7 of the port buffer as they were
    // cleared, not as the previous probe filled them.
    EXPECT_EQ(grelt_info("/dev/sdi", &rec), -1);
    EXPECT_EQ(rec.cp, -1);
    EXPECT_STREQ(rec.wwid, "3600a0b0c0d0e0f14");
    EXPECT_STREQ(rec.text_name, "");
    EXPECT_EQ(rec.host, 4);
    EXPECT_STREQ(rec.slot_dev[1][0], "");
}

}  // namespace
