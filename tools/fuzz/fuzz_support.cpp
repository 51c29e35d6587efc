#include "fuzz_support.hpp"

#include "trace/trace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace {
std::string scratch_dir;

void remove_scratch()
{
    std::error_code ignored;
    std::filesystem::remove_all(scratch_dir, ignored);
}
}  // namespace

void fuzz_check(bool ok, const char *what, const char *file, int line)
{
    if (ok)
        return;
    // Straight to descriptor 2: the stderr stream may be the trace sink.
    char text[512];
    int n = std::snprintf(text, sizeof text, "fuzz invariant broken at %s:%d: %s\n", file, line,
                          what);
    if (n > 0 && write(2, text, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof text - 1)) < 0) {
    }
    std::abort();
}

void fuzz_setup()
{
    // Every trace is formatted, so that the fields reach printf's %s, but
    // they go to a buffered sink instead of the fuzzer's log; FUZZ_TRACES=1
    // keeps them for a look at one input. The fuzzer and the sanitizers
    // write to descriptor 2 directly and are not affected.
    log_verbosity = 7;
    const char *keep = std::getenv("FUZZ_TRACES");
    if (keep == nullptr || std::strcmp(keep, "1") != 0) {
        FILE *sink = std::fopen("/dev/null", "w");
        if (sink != nullptr)
            stderr = sink;
    }
}

std::string fuzz_scratch(const char *name)
{
    if (scratch_dir.empty()) {
        const char *base = std::getenv("FUZZ_SCRATCH");
        if (base == nullptr || base[0] == '\0')
            base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string pattern = std::string(base) + "/tald-fuzz-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        FUZZ_CHECK(mkdtemp(buffer.data()) != nullptr, "scratch directory not created");
        scratch_dir = buffer.data();
        std::atexit(remove_scratch);
    }
    return scratch_dir + "/" + name;
}

void fuzz_write_file(const std::string &path, const uint8_t *data, std::size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "input file not created");
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        FUZZ_CHECK(n > 0, "input file not written");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    close(fd);
}

std::string fuzz_read_file(const std::string &path)
{
    std::string text;
    FILE *in = std::fopen(path.c_str(), "rb");
    if (in == nullptr)
        return text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        text.append(buffer, n);
    std::fclose(in);
    return text;
}

std::vector<std::string> fuzz_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        FUZZ_CHECK(end != std::string::npos, "a written line lacks its line feed");
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool fuzz_terminated(const char *field, std::size_t size)
{
    return std::memchr(field, '\0', size) != nullptr;
}
