// Reading and writing whole files, finding the home and settings folders,
// making folders and listing a folder's files on Windows. Paths are the
// system's own: drive letters, either separator, relative to the current
// folder.
#include "platform/platform.h"
#include "platform/folder_out.h"
#include "platform/whole_file.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

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

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_folder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The length of path without its trailing separators, but for the one of a
// root (C:\ or a lone separator).
size_t trimmed_length(const char* path)
{
    size_t length = std::strlen(path);
    while (length > 1 && is_separator(path[length - 1]) && path[length - 2] != ':')
        --length;
    return length;
}

}  // namespace

const char PLATFORM_PATH_SEPARATOR = '\\';

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
    return folder_out(home, length, buffer, size);
}

int platform_file_write(const char* path, const char* bytes, size_t length)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return code_of_error(GetLastError());
    int result = PLATFORM_FILE_OK;
    while (length > 0) {
        DWORD chunk = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
        DWORD written = 0;
        if (!WriteFile(file, bytes, chunk, &written, nullptr) || written == 0) {
            result = PLATFORM_FILE_UNREADABLE;
            break;
        }
        bytes += written;
        length -= written;
    }
    if (!CloseHandle(file))
        result = PLATFORM_FILE_UNREADABLE;
    return result;
}

// %APPDATA%\varenta, the roaming application data the system names.
int platform_settings_folder(char* buffer, int size)
{
    if (buffer == nullptr || size < 1)
        return -1;
    buffer[0] = '\0';
    char data[MAX_PATH * 2];
    if (!environment("APPDATA", data, sizeof data))
        return -1;
    std::string folder(data, trimmed_length(data));
    if (!is_separator(folder.back()))
        folder += '\\';
    folder += "varenta";
    return folder_out(folder.data(), folder.size(), buffer, size);
}

int platform_make_folders(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return PLATFORM_FILE_UNREADABLE;
    std::string folder(path, trimmed_length(path));
    // Each folder from the top down. A drive ("C:"), a share's server and
    // the share itself cannot be made and some cannot even be asked about,
    // so a failure on the way decides nothing: a file in the way makes
    // every folder below it fail too, and the last question settles it.
    for (size_t end = 1; end < folder.size(); ++end) {
        if (is_separator(folder[end]) && !is_separator(folder[end - 1]) && folder[end - 1] != ':')
            CreateDirectoryA(folder.substr(0, end).c_str(), nullptr);
    }
    CreateDirectoryA(folder.c_str(), nullptr);
    return is_folder(folder) ? PLATFORM_FILE_OK : PLATFORM_FILE_UNREADABLE;
}

int platform_folder_files(const char* folder, void (*visit)(const char* name, void* context), void* context)
{
    if (folder == nullptr || folder[0] == '\0')
        return 0;
    std::string pattern(folder);
    if (!is_separator(pattern.back()) && pattern.back() != ':')
        pattern += '\\';
    pattern += '*';
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        // An empty root has no "." to find (ERROR_FILE_NOT_FOUND); a file's
        // path is no folder (ERROR_DIRECTORY).
        DWORD error = GetLastError();
        return error == ERROR_DIRECTORY || code_of_error(error) == PLATFORM_FILE_MISSING ? 0 : -1;
    }
    std::vector<std::string> names;
    do {
        // A link to a folder is marked a folder too; a link to a file is
        // that file.
        if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0)
            names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    if (!complete)
        return -1;
    return visit_in_byte_order(names, visit, context);  // not the file system's case-blind order
}
