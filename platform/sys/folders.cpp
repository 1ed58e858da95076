// Folders and files: the common application-data folder, folder creation,
// pattern listings, last-write times, attributes, deletes and moves.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "sys.h"
#include "sys/last_error_guard.h"

namespace {

constexpr const char* kDefaultCommonAppData = "/var/tmp/morva-common-appdata";

BOOL FailWithErrno() {
    SetLastError(mv::Win32ErrorFromErrno(errno));
    return FALSE;
}

std::string CommonAppDataPath() {
    const char* configured = std::getenv("MORVA_COMMON_APPDATA");
    return configured && configured[0] ? std::string(configured)
                                       : std::string(kDefaultCommonAppData);
}

// Serves SHGetFolderPathA/W: the folder's path, created on request.
HRESULT CommonFolder(int csidl, std::string* path) {
    const bool create = (csidl & CSIDL_FLAG_CREATE) != 0;
    if ((csidl & ~CSIDL_FLAG_CREATE) != CSIDL_COMMON_APPDATA) return E_INVALIDARG;
    *path = CommonAppDataPath();
    struct stat st {};
    if (stat(path->c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode) ? S_OK : HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    }
    if (!create) return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (!mv::CreateDirectories(*path)) return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

bool IsSeparator(char c) {
    return c == '/';
}

}  // namespace

namespace mv {

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_ALREADY_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EBUSY:
        case ETXTBSY:
            return ERROR_SHARING_VIOLATION;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ELOOP:
            return ERROR_BAD_PATHNAME;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

std::string CommonAppDataFolder(bool create) {
    std::string path;
    const int csidl = CSIDL_COMMON_APPDATA | (create ? CSIDL_FLAG_CREATE : 0);
    return SUCCEEDED(CommonFolder(csidl, &path)) ? path : std::string();
}

std::string JoinPath(std::string_view first, std::string_view second) {
    if (first.empty()) return std::string(second);
    if (second.empty()) return std::string(first);
    std::string joined(first);
    const bool left = IsSeparator(first.back());
    const bool right = IsSeparator(second.front());
    if (left && right) {
        second.remove_prefix(1);
    } else if (!left && !right) {
        joined += '/';
    }
    joined += second;
    return joined;
}

bool CreateDirectories(const std::string& path) {
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    // Create each missing folder from the top down; a part that exists as a
    // file stops the walk.
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (part.empty()) continue;
        if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
            SetLastError(Win32ErrorFromErrno(errno));
            return false;
        }
    }
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    return true;
}

bool MatchesFilePattern(std::string_view name, std::string_view pattern) {
    auto fold = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    // Greedy matching with backtracking to the last "*".
    size_t n = 0, p = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::vector<std::string> FindFiles(std::string_view folderAndPattern) {
    std::vector<std::string> names;
    const size_t slash = folderAndPattern.rfind('/');
    const std::string folder =
        slash == std::string_view::npos
            ? std::string(".")
            : std::string(folderAndPattern.substr(0, slash == 0 ? 1 : slash));
    const std::string_view pattern =
        slash == std::string_view::npos ? folderAndPattern : folderAndPattern.substr(slash + 1);
    DIR* dir = opendir(folder.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        if (MatchesFilePattern(name, pattern)) names.emplace_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int c = CompareNoCase(a, b);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

bool GetFileLastWriteTime(const std::string& path, FILETIME* lastWrite) {
    if (!lastWrite) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FailWithErrno();
    struct stat st {};
    const int rc = fstat(fd, &st);
    const int savedErrno = errno;
    close(fd);
    if (rc != 0) {
        errno = savedErrno;
        return FailWithErrno();
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    // 100-ns ticks between 1601-01-01 and 1970-01-01.
    constexpr uint64_t kEpochDifference = 116444736000000000ull;
    const uint64_t ticks = kEpochDifference +
                           static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ull +
                           static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
    lastWrite->dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
    lastWrite->dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return true;
}

}  // namespace mv

namespace {

// Copies a file's bytes and permissions to a new path, then removes the
// source: the cross-device half of MoveFileEx.
bool CopyThenDelete(const char* from, const char* to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        SetLastError(mv::Win32ErrorFromErrno(ec.value()));
        return false;
    }
    if (unlink(from) != 0) return FailWithErrno();
    return true;
}

}  // namespace

extern "C" {

HRESULT SHGetFolderPathA(HWND, int csidl, HANDLE, DWORD, LPSTR out) {
    if (!out) return E_INVALIDARG;
    return mv::CallGuarded([&] {
        std::string path;
        const HRESULT hr = CommonFolder(csidl, &path);
        if (FAILED(hr)) return hr;
        if (path.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        std::memcpy(out, path.c_str(), path.size() + 1);
        return S_OK;
    });
}

HRESULT SHGetFolderPathW(HWND, int csidl, HANDLE, DWORD, LPWSTR out) {
    if (!out) return E_INVALIDARG;
    return mv::CallGuarded([&] {
        std::string path;
        const HRESULT hr = CommonFolder(csidl, &path);
        if (FAILED(hr)) return hr;
        const std::u16string wide = mv::ToUtf16(path);
        if (wide.size() >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        std::memcpy(out, wide.c_str(), (wide.size() + 1) * sizeof(char16_t));
        return S_OK;
    });
}

BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES) {
    if (!path || !path[0]) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (mkdir(path, 0777) == 0) return TRUE;
    if (errno == ENOENT) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return FailWithErrno();
}

BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
    return mv::CallGuardedLastError(FALSE,
                                    [&] { return CreateDirectoryA(mv::ToUtf8(path).c_str(), sa); });
}

DWORD GetFileAttributesA(LPCSTR path) {
    struct stat st {};
    if (!path || stat(path, &st) != 0) {
        SetLastError(path ? mv::Win32ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (access(path, W_OK) != 0 && errno == EACCES) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

DWORD GetFileAttributesW(LPCWSTR path) {
    if (!path) return GetFileAttributesA(nullptr);
    return mv::CallGuardedLastError(INVALID_FILE_ATTRIBUTES,
                                    [&] { return GetFileAttributesA(mv::ToUtf8(path).c_str()); });
}

BOOL DeleteFileA(LPCSTR path) {
    struct stat st {};
    if (!path || lstat(path, &st) != 0) {
        SetLastError(path ? mv::Win32ErrorFromErrno(errno) : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return unlink(path) == 0 ? TRUE : FailWithErrno();
}

BOOL DeleteFileW(LPCWSTR path) {
    if (!path) return DeleteFileA(nullptr);
    return mv::CallGuardedLastError(FALSE, [&] { return DeleteFileA(mv::ToUtf8(path).c_str()); });
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const bool replace = (flags & MOVEFILE_REPLACE_EXISTING) != 0;
    int rc = replace ? rename(from, to) : renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    if (rc != 0 && !replace && errno == EINVAL) {
        // A file system without the no-replace rename: check, then rename.
        struct stat st {};
        if (lstat(to, &st) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        rc = rename(from, to);
    }
    if (rc == 0) return TRUE;
    if (errno == EEXIST) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (errno == EXDEV) {
        if (!(flags & MOVEFILE_COPY_ALLOWED)) {
            SetLastError(ERROR_NOT_SAME_DEVICE);
            return FALSE;
        }
        struct stat st {};
        if (!replace && lstat(to, &st) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        return mv::CallGuardedLastError(FALSE,
                                        [&] { return CopyThenDelete(from, to) ? TRUE : FALSE; });
    }
    return FailWithErrno();
}

BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags) {
    if (!from || !to) return MoveFileExA(nullptr, nullptr, flags);
    return mv::CallGuardedLastError(FALSE, [&] {
        return MoveFileExA(mv::ToUtf8(from).c_str(), mv::ToUtf8(to).c_str(), flags);
    });
}

}  // extern "C"
