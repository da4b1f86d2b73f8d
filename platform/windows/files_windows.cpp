// Reading whole files and finding the home folder on Windows. Paths are the
// system's own: drive letters, either separator, relative to the current
// folder.
#include "platform/platform.h"
#include "platform/whole_file.h"

#include <windows.h>

#include <cstring>

namespace {

int code_of_error(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH: case ERROR_BAD_NET_NAME:
        return PLATFORM_FILE_MISSING;
    default:
        return PLATFORM_FILE_UNREADABLE;
    }
}

// The value of an environment variable, or false when it is unset or empty.
bool environment(const char* name, char* buffer, DWORD size)
{
    DWORD n = GetEnvironmentVariableA(name, buffer, size);
    return n > 0 && n < size;
}

}  // namespace

int platform_file_read(const char* path, char* buffer, size_t capacity, size_t* length)
{
    if (length != nullptr)
        *length = 0;
    if (path == nullptr || path[0] == '\0' || length == nullptr || (buffer == nullptr && capacity > 0))
        return PLATFORM_FILE_MISSING;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return code_of_error(GetLastError());
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return PLATFORM_FILE_FOLDER;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return code_of_error(GetLastError());
    LARGE_INTEGER size;
    int result;
    if (GetFileType(file) != FILE_TYPE_DISK)
        result = PLATFORM_FILE_UNREADABLE;  // a device (NUL, CON) or a pipe, not a file
    else if (!GetFileSizeEx(file, &size))
        result = PLATFORM_FILE_UNREADABLE;
    else if (static_cast<unsigned long long>(size.QuadPart) > capacity)
        result = PLATFORM_FILE_TOO_LARGE;
    else
        result = read_whole_file(
            [file](char* into, size_t want) {
                DWORD n = 0;
                DWORD asked = want > 0x40000000u ? 0x40000000u : static_cast<DWORD>(want);
                return ReadFile(file, into, asked, &n, nullptr) ? static_cast<long>(n) : -1L;
            },
            [] { return PLATFORM_FILE_UNREADABLE; }, buffer, capacity, length);
    CloseHandle(file);
    if (result != PLATFORM_FILE_OK)
        *length = 0;
    return result;
}

// The user's profile folder (USERPROFILE), or failing that HOMEDRIVE and
// HOMEPATH together.
int platform_home_folder(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return -1;
    buffer[0] = '\0';
    char home[MAX_PATH * 2];
    char path[MAX_PATH];
    if (!environment("USERPROFILE", home, sizeof home)) {
        if (!environment("HOMEDRIVE", home, sizeof home) || !environment("HOMEPATH", path, sizeof path) ||
            std::strlen(home) + std::strlen(path) >= sizeof home)
            return -1;
        std::strcat(home, path);
    }
    size_t length = std::strlen(home);
    // A root ("C:\", "\") keeps its separator.
    while (length > 1 && (home[length - 1] == '\\' || home[length - 1] == '/') && home[length - 2] != ':')
        --length;
    if (length > static_cast<size_t>(size - 1))
        return -1;
    std::memcpy(buffer, home, length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}
