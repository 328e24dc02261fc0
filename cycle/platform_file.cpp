// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace valdmora::platform {
namespace fs = std::filesystem;

#ifdef _WIN32

fs::path path_from_utf8(const std::string& text) {
    return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string path_to_utf8(const fs::path& path) {
    const std::u8string u = path.u8string();
    return std::string(reinterpret_cast<const char*>(u.data()), u.size());
}

namespace {

// Windows' own words for an error, in UTF-8, without the trailing line break.
std::string why(DWORD error) {
    switch (error) {
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return "it is open in another program; close it there and try again";
        case ERROR_ACCESS_DENIED: return "Permission denied";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return "No space left on device";
        case ERROR_PATH_NOT_FOUND: return "the folder does not exist";
        default: break;
    }
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string out = n > 0 ? path_to_utf8(fs::path(std::wstring(text, n))) : "Windows error " + std::to_string(error);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

HANDLE handle_of(FileHandle h) { return reinterpret_cast<HANDLE>(h); }

}  // namespace

Target inspect_target(const fs::path& path) {
    Target t;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return t;
    t.exists = true;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) t.problem = "it is a folder";
    else if (attributes & FILE_ATTRIBUTE_DEVICE) t.problem = "it is not a regular file (a device or a pipe)";
    else if (attributes & FILE_ATTRIBUTE_READONLY) t.problem = "Permission denied (the file is read-only)";
    return t;
}

std::string create_new_file(const fs::path& path, FileHandle& handle, bool& exists) {
    exists = false;
    const HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        exists = e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS;
        handle = kNoFile;
        return why(e);
    }
    handle = reinterpret_cast<FileHandle>(h);
    return {};
}

void keep_permissions(FileHandle, unsigned) {}

std::string write_all(FileHandle handle, std::string_view data) {
    while (!data.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
        DWORD written = 0;
        if (!WriteFile(handle_of(handle), data.data(), chunk, &written, nullptr)) return why(GetLastError());
        data.remove_prefix(written);
    }
    return {};
}

std::string flush_and_close(FileHandle handle) {
    std::string e;
    if (!FlushFileBuffers(handle_of(handle))) e = why(GetLastError());
    if (!CloseHandle(handle_of(handle)) && e.empty()) e = why(GetLastError());
    return e;
}

void close_file(FileHandle handle) { CloseHandle(handle_of(handle)); }

std::string replace_file(const fs::path& from, const fs::path& to) {
    // Another program replacing the same file at this moment holds it for an instant, and
    // virus scanners open new files briefly: a short while of retries before giving up.
    DWORD e = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return {};
        e = GetLastError();
        if (e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION && e != ERROR_LOCK_VIOLATION) break;
        Sleep(25);
    }
    if (e == ERROR_ACCESS_DENIED) {
        // denied, or held open by a program that did not share it: asking for the right
        // to delete it tells the two apart
        const HANDLE h = CreateFileW(to.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        else if (GetLastError() == ERROR_SHARING_VIOLATION) e = ERROR_SHARING_VIOLATION;
    }
    return why(e);
}

void remove_file(const fs::path& path) { DeleteFileW(path.c_str()); }

unsigned long process_id() { return GetCurrentProcessId(); }

std::string folder_write_problem(const fs::path&) { return {}; }

#else

fs::path path_from_utf8(const std::string& text) { return fs::path(text); }
std::string path_to_utf8(const fs::path& path) { return path.string(); }

namespace {
std::string why(int error) { return std::strerror(error); }
}  // namespace

Target inspect_target(const fs::path& path) {
    Target t;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return t;
    t.exists = true;
    // a rename over a device or a folder would replace it, not write into it
    if (S_ISDIR(st.st_mode)) t.problem = "it is a folder";
    else if (!S_ISREG(st.st_mode)) t.problem = "it is not a regular file (a device or a pipe)";
    // the rename needs only the folder's permission: a file its owner protected stays
    else if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) t.problem = why(errno);
    t.permissions = st.st_mode & 07777;
    return t;
}

std::string create_new_file(const fs::path& path, FileHandle& handle, bool& exists) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    exists = fd < 0 && errno == EEXIST;
    handle = fd;
    return fd < 0 ? why(errno) : std::string();
}

void keep_permissions(FileHandle handle, unsigned permissions) {
    (void)::fchmod(static_cast<int>(handle), static_cast<mode_t>(permissions));
}

std::string write_all(FileHandle handle, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(static_cast<int>(handle), data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return why(errno);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::string flush_and_close(FileHandle handle) {
    const int fd = static_cast<int>(handle);
    // the data alone must reach the disk before the name does
    if (::fdatasync(fd) != 0 && errno != EINVAL && errno != EROFS) {
        const int e = errno;
        ::close(fd);
        return why(e);
    }
    return ::close(fd) != 0 ? why(errno) : std::string();
}

void close_file(FileHandle handle) { ::close(static_cast<int>(handle)); }

std::string replace_file(const fs::path& from, const fs::path& to) {
    return ::rename(from.c_str(), to.c_str()) != 0 ? why(errno) : std::string();
}

void remove_file(const fs::path& path) { ::unlink(path.c_str()); }

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

std::string folder_write_problem(const fs::path& folder) {
    return ::access(folder.c_str(), W_OK) != 0 ? why(errno) : std::string();
}

#endif

}  // namespace valdmora::platform
