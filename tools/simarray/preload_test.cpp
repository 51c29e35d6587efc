// The interposition layer of libsimarray.so, seen from a program that runs
// under it: ctest starts this test with LD_PRELOAD, SIMARRAY_SCENARIO
// (scenarios/selftest.scn) and SIMARRAY_LOG set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char *log_path() {
    const char *p = std::getenv("SIMARRAY_LOG");
    return p != nullptr ? p : "";
}

void clear_log() { std::ofstream(log_path(), std::ios::trunc); }

std::string read_log() {
    std::ifstream in(log_path());
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Sends a standard INQUIRY; returns the ioctl result, status in `status`.
int inquiry(int fd, int &status) {
    unsigned char cdb[6] = {0x12, 0x00, 0x00, 0x00, 0x24, 0x00};
    unsigned char data[36] = {};
    unsigned char sense[32] = {};
    sg_io_hdr_t hdr{};
    hdr.interface_id = 'S';
    hdr.dxfer_direction = SG_DXFER_FROM_DEV;
    hdr.cmd_len = sizeof cdb;
    hdr.cmdp = cdb;
    hdr.dxferp = data;
    hdr.dxfer_len = sizeof data;
    hdr.sbp = sense;
    hdr.mx_sb_len = sizeof sense;
    int r = ioctl(fd, SG_IO, &hdr);
    status = hdr.status;
    return r;
}

TEST(SimPreload, EnvironmentIsSet) {
    ASSERT_NE(std::getenv("LD_PRELOAD"), nullptr);
    ASSERT_STRNE(log_path(), "");
}

TEST(SimPreload, NodeAnswersAndLogs) {
    clear_log();
    int fd = open("/sim/good", O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    int idlun[2] = {-1, -1};
    ASSERT_EQ(ioctl(fd, SCSI_IOCTL_GET_IDLUN, idlun), 0);
    EXPECT_EQ(static_cast<unsigned>(idlun[0]), 0x03000105u);
    EXPECT_EQ(idlun[1], 3);
    int status = -1;
    EXPECT_EQ(inquiry(fd, status), 0);
    EXPECT_EQ(status, 0);
    int version = 0;
    EXPECT_EQ(ioctl(fd, SG_GET_VERSION_NUM, &version), 0);
    EXPECT_EQ(version, 30536);
    errno = 0;
    EXPECT_EQ(ioctl(fd, 0x1234, nullptr), -1);
    EXPECT_EQ(errno, ENOTTY);
    sg_io_hdr_t bad{};
    bad.interface_id = 'Z';
    EXPECT_EQ(ioctl(fd, SG_IO, &bad), -1);
    EXPECT_EQ(errno, ENOSYS);
    ASSERT_EQ(close(fd), 0);
    EXPECT_EQ(read_log(), "open /sim/good flags=0x2\n"
                          "idlun /sim/good\n"
                          "sgio /sim/good len=6 cdb=12 00 00 00 24 00 dxfer=36\n"
                          "sgio /sim/good len=0 cdb= dxfer=0\n"
                          "close /sim/good\n");
}

TEST(SimPreload, NodeFaults) {
    clear_log();
    errno = 0;
    EXPECT_EQ(open("/sim/closed", O_RDONLY | O_NONBLOCK), -1);
    EXPECT_EQ(errno, EACCES);
    int fd = open("/sim/faulty", O_RDONLY);
    ASSERT_GE(fd, 0);
    int idlun[2] = {7, 7};
    EXPECT_EQ(ioctl(fd, SCSI_IOCTL_GET_IDLUN, idlun), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(idlun[0], 7);
    int status = -1;
    EXPECT_EQ(inquiry(fd, status), -1);
    EXPECT_EQ(errno, ENXIO);
    close(fd);
    EXPECT_EQ(read_log(), "open /sim/closed flags=0x800\n"
                          "open /sim/faulty flags=0x0\n"
                          "idlun /sim/faulty\n"
                          "sgio /sim/faulty len=6 cdb=12 00 00 00 24 00 dxfer=36\n"
                          "close /sim/faulty\n");
}

TEST(SimPreload, OtherDescriptorsGoToTheKernel) {
    // A reused descriptor number is no node any more, and a regular file
    // rejects SG_IO as the kernel does.
    int fd = open("/sim/good", O_RDONLY);
    ASSERT_GE(fd, 0);
    close(fd);
    int file = open("/proc/self/cmdline", O_RDONLY);
    ASSERT_EQ(file, fd);
    int status = -1;
    EXPECT_EQ(inquiry(file, status), -1);
    EXPECT_EQ(errno, ENOTTY);
    close(file);
    errno = 0;
    EXPECT_EQ(open("/sim/absent", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST(SimPreload, DuplicatesAndChildrenKeepTheNode) {
    int fd = open("/sim/good", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int copy = dup(fd);
    int high = fcntl(fd, F_DUPFD_CLOEXEC, 100);
    ASSERT_GE(copy, 0);
    ASSERT_GE(high, 100);
    close(fd);
    int status = -1;
    EXPECT_EQ(inquiry(copy, status), 0);
    EXPECT_EQ(inquiry(high, status), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int child_status = -1;
        _exit(inquiry(high, child_status) == 0 && child_status == 0 ? 0 : 1);
    }
    int wstatus = 0;
    ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
    close(copy);
    close(high);
}

TEST(SimPreload, ManyThreads) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&failures] {
            for (int i = 0; i < 200; ++i) {
                int fd = open("/sim/good", O_RDONLY);
                int status = -1;
                if (fd < 0 || inquiry(fd, status) != 0 || status != 0) ++failures;
                if (fd >= 0) close(fd);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
