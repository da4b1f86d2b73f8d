// Reading whole files and finding the home folder on POSIX systems.
#include "platform/platform.h"
#include "platform/whole_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int code_of_open_error(int error)
{
    if (error == ENOENT || error == ENOTDIR)
        return PLATFORM_FILE_MISSING;
    if (error == EISDIR)
        return PLATFORM_FILE_FOLDER;
    return PLATFORM_FILE_UNREADABLE;
}

}  // namespace

int platform_file_read(const char* path, char* buffer, size_t capacity, size_t* length)
{
    if (length != nullptr)
        *length = 0;
    if (path == nullptr || path[0] == '\0' || length == nullptr || (buffer == nullptr && capacity > 0))
        return PLATFORM_FILE_MISSING;
    // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused
    // below like every file that is not a regular one.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return code_of_open_error(errno);
    struct stat info;
    int result;
    if (fstat(fd, &info) != 0)
        result = PLATFORM_FILE_UNREADABLE;
    else if (S_ISDIR(info.st_mode))
        result = PLATFORM_FILE_FOLDER;
    else if (!S_ISREG(info.st_mode))
        result = PLATFORM_FILE_UNREADABLE;
    else if (static_cast<unsigned long long>(info.st_size) > capacity)
        result = PLATFORM_FILE_TOO_LARGE;
    else
        result = read_whole_file(
            [fd](char* into, size_t want) {
                ssize_t n;
                do
                    n = read(fd, into, want);
                while (n < 0 && errno == EINTR);
                return static_cast<long>(n);
            },
            [] { return errno == EISDIR ? PLATFORM_FILE_FOLDER : PLATFORM_FILE_UNREADABLE; }, buffer, capacity,
            length);
    close(fd);
    if (result != PLATFORM_FILE_OK)
        *length = 0;
    return result;
}

int platform_home_folder(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return -1;
    buffer[0] = '\0';
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0')
        return -1;
    size_t length = std::strlen(home);
    while (length > 1 && home[length - 1] == '/')
        --length;
    if (length > static_cast<size_t>(size - 1))
        return -1;
    std::memcpy(buffer, home, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}
