#pragma once

// Included from sys.h; include that instead.
//
// Identity (user, computer, account), folders and files, running external
// programs, system message texts and debugger output.

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using HWND = void*;
using HLOCAL = void*;

constexpr DWORD MAX_COMPUTERNAME_LENGTH = 15;
constexpr DWORD UNLEN = 256;

extern "C" {

// ---------------------------------------------------------------------------
// Identity
// ---------------------------------------------------------------------------
// The calling thread's user name: the per-thread override when one is set,
// else the process's effective user. *pcbBuffer is the buffer size in
// characters; on success it receives the characters written with the
// terminator; when the buffer is too small the call fails with
// ERROR_INSUFFICIENT_BUFFER and *pcbBuffer receives the size needed. The
// effective user's name is looked up once per process and user; when memory
// runs out the call fails with ERROR_NOT_ENOUGH_MEMORY.
BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);
BOOL GetUserNameW(LPWSTR lpBuffer, LPDWORD pcbBuffer);

// The host name up to its first dot, cut to 15 characters and upper-cased.
// *nSize is the buffer size in characters; on success it receives the length
// without the terminator; a buffer too small fails with ERROR_BUFFER_OVERFLOW
// and *nSize receives the size needed with the terminator.
BOOL GetComputerNameA(LPSTR lpBuffer, LPDWORD nSize);
BOOL GetComputerNameW(LPWSTR lpBuffer, LPDWORD nSize);

// ---------------------------------------------------------------------------
// Folders and files
// ---------------------------------------------------------------------------
constexpr int CSIDL_COMMON_APPDATA = 0x0023;
constexpr int CSIDL_FLAG_CREATE = 0x8000;
constexpr DWORD SHGFP_TYPE_CURRENT = 0;

// Only CSIDL_COMMON_APPDATA is known (E_INVALIDARG otherwise): the folder
// named by MORVA_COMMON_APPDATA, else /var/tmp/morva-common-appdata. With
// CSIDL_FLAG_CREATE a missing folder is created. pszPath holds MAX_PATH
// characters; a longer path fails with
// HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE).
HRESULT SHGetFolderPathA(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPSTR pszPath);
HRESULT SHGetFolderPathW(HWND hwnd, int csidl, HANDLE hToken, DWORD dwFlags, LPWSTR pszPath);

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_COPY_ALLOWED = 0x2;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;

// A folder that exists fails with ERROR_ALREADY_EXISTS, a missing parent
// with ERROR_PATH_NOT_FOUND.
BOOL CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
DWORD GetFileAttributesA(LPCSTR lpFileName);
DWORD GetFileAttributesW(LPCWSTR lpFileName);
BOOL DeleteFileA(LPCSTR lpFileName);  // files only; a folder gives ERROR_ACCESS_DENIED
BOOL DeleteFileW(LPCWSTR lpFileName);
// Without MOVEFILE_REPLACE_EXISTING an existing target fails with
// ERROR_ALREADY_EXISTS; across file systems the move copies only with
// MOVEFILE_COPY_ALLOWED (else ERROR_NOT_SAME_DEVICE).
BOOL MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags);
BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);

// ---------------------------------------------------------------------------
// System message texts
// ---------------------------------------------------------------------------
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100;
constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x00000200;
constexpr DWORD FORMAT_MESSAGE_FROM_STRING = 0x00000400;
constexpr DWORD FORMAT_MESSAGE_FROM_HMODULE = 0x00000800;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x00001000;
constexpr DWORD FORMAT_MESSAGE_ARGUMENT_ARRAY = 0x00002000;
constexpr DWORD FORMAT_MESSAGE_MAX_WIDTH_MASK = 0x000000FF;

// Only FORMAT_MESSAGE_FROM_SYSTEM is served; the language is ignored (every
// text is English). The result is the number of characters stored without
// the terminator, or 0 with the last error set: ERROR_MR_MID_NOT_FOUND for an
// unknown code, ERROR_INSUFFICIENT_BUFFER for a short buffer,
// ERROR_INVALID_PARAMETER for a text with inserts (%1...) when neither
// FORMAT_MESSAGE_IGNORE_INSERTS nor arguments are given. Inserts take narrow
// strings from Arguments. With FORMAT_MESSAGE_ALLOCATE_BUFFER, lpBuffer is
// really an LPSTR* that receives a buffer to free with LocalFree.
DWORD FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                     LPSTR lpBuffer, DWORD nSize, va_list* Arguments);
HLOCAL LocalFree(HLOCAL hMem);

// ---------------------------------------------------------------------------
// Debugger output
// ---------------------------------------------------------------------------
// Written to standard error, or handed to the hook of
// mv::SetDebugOutputHookForTesting when one is installed.
void OutputDebugStringA(LPCSTR lpOutputString);
void OutputDebugStringW(LPCWSTR lpOutputString);

}  // extern "C"

namespace mv {

// Replaces the calling thread's user name (an impersonating thread reports
// its client); nullptr removes the override. Each name given is kept for the
// life of the process.
void SetThreadUserNameForTesting(const char* name);
// Looks the effective user's name up in the user database unless it is
// known already. Done while memory is plentiful, when a library is loaded:
// the database's code may end the process when memory runs out.
void LookUpUserName() noexcept;
// The calling thread's user name as GetUserNameA gives it, but without a
// second look-up of an effective user whose look-up failed: the effective
// user is looked up again only once it has changed. Null when the name
// cannot be had. Lives as long as the process.
const std::string* UserNameWithoutLookUp() noexcept;
// How many times the process has looked a user's name up in the user
// database.
uint64_t UserNameLookupsForTesting();

// The account the calling thread runs under and its domain, as an account
// lookup of the thread's identity gives them: the account is the thread's
// user name, the domain the computer name. False, with the last error set,
// when either cannot be had; the outputs are then untouched.
bool GetThreadAccount(std::string* account, std::string* domain);

// The common application-data folder (see SHGetFolderPathA) at any length,
// created when missing unless `create` is false; empty when it does not
// exist and cannot be created.
std::string CommonAppDataFolder(bool create = true);

// The Win32 error code that stands for an errno value (ERROR_ACCESS_DENIED
// for EACCES, ...; ERROR_INVALID_FUNCTION for one without a counterpart).
DWORD Win32ErrorFromErrno(int error);

// Joins two path parts with one "/" (none added when either side already
// has it at the seam; an empty part gives the other unchanged).
std::string JoinPath(std::string_view first, std::string_view second);

// Creates a folder and every missing folder above it. True when the folder
// exists afterwards; else false with the last error set.
bool CreateDirectories(const std::string& path);

// Whether a name matches a pattern of "*" (any run of characters) and "?"
// (any one character), ignoring ASCII letter case.
bool MatchesFilePattern(std::string_view name, std::string_view pattern);

// The names (without folder) of the entries of a folder that match a
// pattern: "folder/*.mvc". "." and ".." are never listed. The names are
// sorted ignoring case, so listings are stable. A missing folder gives no
// names.
std::vector<std::string> FindFiles(std::string_view folderAndPattern);

// A file's last-write time (FILETIME: 100-ns ticks since 1601-01-01 UTC).
// False, with the last error set, when the file cannot be opened for reading
// (folders included).
bool GetFileLastWriteTime(const std::string& path, FILETIME* lastWrite);

// Splits a command line as the C runtime's argument parsing does: the
// program name runs to the next blank outside double quotes, each quote in it
// toggling grouping and every backslash literal; after it, blanks separate
// arguments, double quotes group, "" inside a group is one literal quote,
// 2n backslashes before a quote give n backslashes and the quote toggles
// grouping (or with a second quote inside a group gives a literal one), 2n+1
// backslashes before a quote give n backslashes and a literal quote, other
// backslashes are literal.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Runs a command text as the C runtime's `system` does for an external
// program, without any shell: when the text starts with a double quote, that
// quote and the last double quote of the text are removed; the rest is split
// by SplitCommandLine and the program run (searched on PATH when its name
// has no "/"). Waits for the program and returns its exit code; a program
// ended by a signal gives 128 + the signal number; a program that cannot be
// started (or an empty command) gives -1 with the last error set, whatever
// the program would have exited with (a started program's 127 is its own).
int RunCommandText(std::string_view commandText);

// The system message text of an HRESULT or Win32 error code, ending in
// CR LF; empty for a code the system does not know. FACILITY_WIN32 HRESULTs
// give the text of their Win32 code.
std::string SystemMessageText(DWORD code);

// Tells a caller that keeps what it read of a file, or keeps the file open,
// whether anything may have happened to it since, without looking at the
// path again: the kernel reports every change made through the watched
// files and folders. Quiet() costs one non-blocking read when nothing was
// reported; it says true only while nothing was reported since the watch was
// set up or last asked, in the process that set it up (a child after fork
// shares the watch's reports, so the watch is not active there). A watch
// that is not active is never quiet.
class FileWatch {
public:
    // What is reported: for a file, its removal, renaming or a change of its
    // attributes (its link count included), and with kFileChanged also its
    // writes; for a folder, anything done to its entries, and to the folder
    // itself.
    static constexpr uint32_t kFileMoved = 0x4 | 0x400 | 0x800;
    static constexpr uint32_t kFileChanged = kFileMoved | 0x2 | 0x8;
    static constexpr uint32_t kFolderChanged =
        0x2 | 0x4 | 0x8 | 0x40 | 0x80 | 0x100 | 0x200 | 0x400 | 0x800 | 0x01000000;

    FileWatch() = default;
    ~FileWatch() { Stop(); }
    FileWatch(const FileWatch&) = delete;
    FileWatch& operator=(const FileWatch&) = delete;

    // Adds `path` (events: one of the k... sets above); false when it
    // cannot be watched (the watch then stays as it was).
    bool Add(const std::string& path, uint32_t events);
    // Drops everything watched.
    void Stop();
    bool Active() const;
    // Reads (and so forgets) what was reported. With a name, reports about
    // other entries of a watched folder do not count.
    bool Quiet(std::string_view name = {});
    // Blocks until something is reported (true) or `wakeFd` becomes
    // readable or the watch breaks (false). Only the thread that asks Quiet
    // may wait.
    bool Wait(int wakeFd) const;

private:
    int fd_ = -1;
    unsigned forks_ = 0;
};

// Receives each debugger output string instead of standard error; nullptr
// restores standard error.
using DebugOutputHook = void (*)(std::string_view text);
void SetDebugOutputHookForTesting(DebugOutputHook hook);

}  // namespace mv
