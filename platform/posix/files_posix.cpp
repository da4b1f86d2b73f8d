// Reading and writing whole files, finding the home and settings folders,
// making folders and listing a folder's files on POSIX systems.
#include "platform/platform.h"
#include "platform/folder_out.h"
#include "platform/whole_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

int code_of_open_error(int error)
{
    if (error == ENOENT || error == ENOTDIR)
        return PLATFORM_FILE_MISSING;
    if (error == EISDIR)
        return PLATFORM_FILE_FOLDER;
    return PLATFORM_FILE_UNREADABLE;
}

bool is_folder(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The path without its trailing separators; the root becomes empty, so that
// appending "/name" never doubles the separator.
std::string without_trailing_separators(const char* path)
{
    std::string trimmed(path);
    while (!trimmed.empty() && trimmed.back() == '/')
        trimmed.pop_back();
    return trimmed;
}

}  // namespace

const char PLATFORM_PATH_SEPARATOR = '/';

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
    return folder_out(home, length, buffer, size);
}

int platform_file_write(const char* path, const char* bytes, size_t length)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return code_of_open_error(errno);
    int result = PLATFORM_FILE_OK;
    while (length > 0) {
        ssize_t n = write(fd, bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            result = PLATFORM_FILE_UNREADABLE;
            break;
        }
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    if (close(fd) != 0)
        result = PLATFORM_FILE_UNREADABLE;
    return result;
}

int platform_settings_folder(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return -1;
    buffer[0] = '\0';
    // The XDG base directory rules have a relative XDG_CONFIG_HOME ignored:
    // it would name another folder from every working folder.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string folder;
    if (config != nullptr && config[0] == '/') {
        folder = without_trailing_separators(config);
    } else {
        char home[PATH_MAX];
        if (platform_home_folder(home, sizeof home) < 0)
            return -1;
        folder = without_trailing_separators(home) + "/.config";
    }
    folder += "/varenta";
    return folder_out(folder.data(), folder.size(), buffer, size);
}

int platform_make_folders(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return PLATFORM_FILE_UNREADABLE;
    std::string folder = without_trailing_separators(path);
    if (folder.empty())
        return is_folder("/") ? PLATFORM_FILE_OK : PLATFORM_FILE_UNREADABLE;
    // Each folder from the top down, the last one included. One that is
    // already there fails with EEXIST (with EISDIR for the root on some
    // systems), and one in a folder that may not be written to may fail
    // with EACCES or EROFS although it exists: whatever the error, a folder
    // that exists is passed, and anything else (a file in the way, a
    // dangling link) ends the walk.
    for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
        std::string above = folder.substr(0, end);
        if (above.back() != '/' && mkdir(above.c_str(), 0777) != 0 && !is_folder(above))
            return PLATFORM_FILE_UNREADABLE;
        if (end == std::string::npos)
            break;
    }
    return is_folder(folder) ? PLATFORM_FILE_OK : PLATFORM_FILE_UNREADABLE;
}

int platform_folder_files(const char* folder, void (*visit)(const char* name, void* context), void* context)
{
    if (folder == nullptr || folder[0] == '\0')
        return 0;
    DIR* listing = opendir(folder);
    if (listing == nullptr)
        return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    const std::string prefix = without_trailing_separators(folder) + "/";
    std::vector<std::string> names;
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(listing);
        if (entry == nullptr) {
            complete = errno == 0;
            break;
        }
        // stat, not lstat: a link to a file is that file; "." and ".." are
        // folders and drop out here.
        struct stat info;
        if (stat((prefix + entry->d_name).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            names.push_back(entry->d_name);
    }
    closedir(listing);
    if (!complete)
        return -1;
    return visit_in_byte_order(names, visit, context);
}
