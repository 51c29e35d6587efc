#include "command/out_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

int out_file_replace(const char *file, mode_t mode, void (*write)(FILE *out, void *context),
                     void *context)
{
    const char *slash = std::strrchr(file, '/');
    std::size_t dir_len = slash != nullptr ? static_cast<std::size_t>(slash - file) + 1 : 0;
    char temp[PATH_MAX];
    int len = std::snprintf(temp, sizeof temp, "%.*s.%s.XXXXXX", static_cast<int>(dir_len), file,
                            file + dir_len);
    if (len < 0 || static_cast<std::size_t>(len) >= sizeof temp)
        return ENAMETOOLONG;
    int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0)
        return errno;
    FILE *out = fchmod(fd, mode) == 0 ? fdopen(fd, "w") : nullptr;
    if (out == nullptr) {
        int error = errno;
        close(fd);
        unlink(temp);
        return error;
    }
    write(out, context);
    int error = std::fflush(out) != 0 || std::ferror(out) != 0 ? (errno != 0 ? errno : EIO) : 0;
    error = error == 0 && fsync(fileno(out)) != 0 ? errno : error;
    error = std::fclose(out) != 0 && error == 0 ? errno : error;
    error = error == 0 && std::rename(temp, file) != 0 ? errno : error;
    if (error != 0)
        unlink(temp);
    return error;
}
