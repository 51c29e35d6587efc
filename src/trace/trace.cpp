#include "trace/trace.hpp"

#include <syslog.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int log_verbosity = 0;

namespace {
thread_local int thread_verbosity = -1;
thread_local bool to_syslog = false;
constexpr int kBufferSize = 512;
thread_local char trace_buffer[kBufferSize];
char console_buffer[kBufferSize];
}  // namespace

void log_trace(int line, int level, const char *format, ...)
{
    // Text that nobody sees is not formatted: a run traces far more than it
    // shows.
    if (level > log_level())
        return;
    std::memset(trace_buffer, 0, sizeof trace_buffer);
    va_list args;
    va_start(args, format);
    std::vsnprintf(trace_buffer, sizeof trace_buffer, format, args);
    va_end(args);
    if (to_syslog)
        syslog(LOG_DAEMON | std::clamp(level, LOG_EMERG, LOG_DEBUG), "[%d] %s", line, trace_buffer);
    else
        std::fprintf(stderr, "[%d] %s\n", line, trace_buffer);
}

int log_level() { return thread_verbosity >= 0 ? thread_verbosity : log_verbosity; }

void log_use_syslog(bool on) { to_syslog = on; }

int log_thread_use(int verbosity)
{
    int before = thread_verbosity;
    thread_verbosity = verbosity;
    return before;
}

void log_text(const char *format, ...)
{
    char text[kBufferSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (to_syslog)
        syslog(LOG_DAEMON | LOG_WARNING, "%s", text);
    else
        std::fputs(text, stderr);
}

int log_console(int level, const char *format, ...)
{
    std::memset(console_buffer, 0, sizeof console_buffer);
    va_list args;
    va_start(args, format);
    std::vsnprintf(console_buffer, sizeof console_buffer, format, args);
    va_end(args);
    if (level <= 0)
        std::printf("%s\n", console_buffer);
    return 0;
}
