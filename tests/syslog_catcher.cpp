// Linked into the test hosts of libpriotald.so: takes the place of syslog so
// that what the plugin logs comes out as "syslog: PRIORITY TEXT" lines on
// standard error, where the tests read it. Every entry a build may bind the
// plugin's syslog calls to is here: the plain ones, and the checked ones that
// _FORTIFY_SOURCE (Debian's default build flags) turns them into.
#include <cstdarg>
#include <cstdio>

namespace {
void caught(int priority, const char *format, va_list args)
{
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::fprintf(stderr, "syslog: %d %s\n", priority, text);
}
}  // namespace

extern "C" void vsyslog(int priority, const char *format, va_list args)
{
    caught(priority, format, args);
}

extern "C" void syslog(int priority, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    caught(priority, format, args);
    va_end(args);
}

extern "C" void __vsyslog_chk(int priority, int, const char *format, va_list args)
{
    caught(priority, format, args);
}

extern "C" void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    caught(priority, format, args);
    va_end(args);
}
