// The diagnostic log: settings from the registry store, the file name, the
// line format and the size cap.
#include "frame/diagnostic_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

CDiagnosticLog g_DiagnosticLog;

namespace {

constexpr const char* kCategoryNames[kLogCategoryCount] = {
    "Errors", "Methods", "Calls", "InParams", "Results", "Steps", "Validation", nullptr, "Security",
};

constexpr const char* kComponentNames[] = {"MvScheduler", "MorvaCalc", "MvHistory", "MvFunctions"};

constexpr const char* kLoggingKey = "SOFTWARE\\Morva\\Morva Calc\\Logging\\";
constexpr DWORD kSettingBufferSize = 100;
constexpr uint64_t kLogSizeUnit = 1024000;
constexpr DWORD kPathBufferSize = 4096;

// An open registry key, closed on every path out.
class RegistryKey {
public:
    explicit RegistryKey(const std::string& path) {
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &m_Key) != ERROR_SUCCESS)
            m_Key = nullptr;
    }
    ~RegistryKey() {
        if (m_Key) RegCloseKey(m_Key);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;
    HKEY get() const { return m_Key; }

private:
    HKEY m_Key = nullptr;
};

// A category is on when its value, whatever its type, reads "ON" ignoring
// letter case. A value that fills the buffer has no terminator: the text
// ends with the bytes returned.
bool ReadCategorySetting(const std::string& keyPath, const char* valueName) {
    RegistryKey key(keyPath);
    if (!key.get()) return false;
    BYTE buffer[kSettingBufferSize] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key.get(), valueName, nullptr, &type, buffer, &size) != ERROR_SUCCESS)
        return false;
    if (size > sizeof buffer) size = sizeof buffer;
    std::string text(reinterpret_cast<const char*>(buffer), size);
    text.resize(std::strlen(text.c_str()));
    for (char& c : text)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return text == "ON";
}

// The name of the file's user. The effective user's name is not looked up
// here but when the module is loaded (and again once the effective user
// changes): a line is often written because memory has run out, and the
// user database's code may then end the process. Without a name the line
// goes to the file of an unknown user.
std::string UserNameOfThread() {
    const std::string* name = mv::UserNameWithoutLookUp();
    return name && !name->empty() ? *name : "UnknownUser";
}

// Appends a number of at least `digits` digits, zero-padded.
void AppendDigits(std::u16string& out, unsigned value, int digits) {
    char16_t reversed[12];
    int n = 0;
    do {
        reversed[n++] = static_cast<char16_t>(u'0' + value % 10);
        value /= 10;
    } while (value);
    while (n < digits) reversed[n++] = u'0';
    while (n) out += reversed[--n];
}

// "(" thread id ") " of the calling thread, made once per thread (kept in
// plain storage: nothing to destroy when the thread ends).
std::u16string_view ThreadTag() {
    thread_local char16_t tag[24];
    thread_local size_t length = 0;
    if (length == 0) {
        char buffer[24];
        int n = std::snprintf(buffer, sizeof buffer, "(%lu) ",
                              static_cast<unsigned long>(GetCurrentThreadId()));
        for (int i = 0; i < n; ++i) tag[i] = static_cast<char16_t>(buffer[i]);
        length = static_cast<size_t>(n);
    }
    return {tag, length};
}

std::u16string Decimal(int64_t value) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
    return mv::ToUtf16(buffer);
}

// The UTF-16LE bytes of a text as a text-mode stream stores them (every
// line feed becomes CR LF), into `bytes`.
void FileBytes(std::u16string_view text, std::string& bytes) {
    bytes.clear();
    bytes.reserve(text.size() * 2 + 8);
    auto put = [&bytes](std::u16string_view units) {
        if constexpr (std::endian::native == std::endian::little) {
            bytes.append(reinterpret_cast<const char*>(units.data()), units.size() * 2);
        } else {
            for (char16_t c : units) {
                bytes.push_back(static_cast<char>(c & 0xFF));
                bytes.push_back(static_cast<char>(c >> 8));
            }
        }
    };
    for (size_t start = 0;;) {
        const size_t lineFeed = text.find(u'\n', start);
        put(text.substr(start,
                        lineFeed == std::u16string_view::npos ? lineFeed : lineFeed - start));
        if (lineFeed == std::u16string_view::npos) return;
        put(u"\r\n");
        start = lineFeed + 1;
    }
}

// Writes all of `bytes`: appended through the descriptor's own position
// (its mode) without `at`, else from the file offset `at`.
bool WriteAll(int fd, std::string_view bytes, off_t at = -1) {
    size_t done = 0;
    while (done < bytes.size()) {
        const char* from = bytes.data() + done;
        const size_t size = bytes.size() - done;
        ssize_t n = at < 0 ? ::write(fd, from, size)
                           : ::pwrite(fd, from, size, at + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

const std::string kByteOrderMark("\xFF\xFE", 2);

void ReportOpenFailure(int error) {
    std::string message = "Failed to open file: ";
    if (error == EACCES) message += "Access Denied: ";
    message += std::to_string(error);
    OutputDebugStringA(message.c_str());
}

std::atomic<int> g_failNextOpen{0};
std::atomic<int> g_failLocks{0};

// The log file's own exclusive lock (flock), taken on a writer's descriptor
// and held while the object lives. Several processes may write one file:
// what must not be decided twice over (giving a new file its byte-order
// mark, emptying it at the cap) is decided under it, from the file's size
// as fstat gives it then. Ordinary lines are appended without it. The lock
// belongs to the open file, so it is never taken through a second open of
// the same file while held. Where it cannot be had (a network file system
// without its lock service fails it with ENOLCK) the same is decided
// without it, as by a sole writer: writers sharing such a file may then
// write two marks or lose lines across crossing emptyings, but the file
// never grows past its cap for want of a lock.
class FileLockHeld {
public:
    explicit FileLockHeld(int fd) noexcept : fd_(fd) {
        if (int injected = g_failLocks.load()) {
            errno = injected;
            fd_ = -1;
            return;
        }
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                fd_ = -1;
                return;
            }
        }
    }
    ~FileLockHeld() {
        if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    }
    FileLockHeld(const FileLockHeld&) = delete;
    FileLockHeld& operator=(const FileLockHeld&) = delete;

private:
    int fd_;
};

// The file's size in bytes; -1 when it cannot be read.
int64_t FileSize(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// Opens the log file for appending; a new (or empty) file starts with the
// byte-order mark, written only by the writer that still finds the file
// empty under its lock (two processes creating the file together write one
// mark), or without the lock when it cannot be had. -1 with errno set when
// it cannot be opened.
int OpenForAppend(const std::string& path) {
    if (int injected = g_failNextOpen.exchange(0)) {
        errno = injected;
        return -1;
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (FileSize(fd) == 0) {
        FileLockHeld lock(fd);
        if (FileSize(fd) == 0 && !WriteAll(fd, kByteOrderMark)) {
            int error = errno;
            ::close(fd);
            errno = error;
            return -1;
        }
    }
    return fd;
}

// What EmptyPastCap did.
enum class Emptying {
    kEmptied,     // the file holds the mark and the line, then what came since
    kLineErased,  // another writer emptied the file since the line was written
    kNotEmptied,  // failed: the file keeps what it had, the line included
    kFileBroken,  // the descriptor can no longer append: close it
};

// Empties the log file, whose last write through `fd` ended past `cap`
// bytes, in place: under the file's lock, and only when the file is still
// past the cap (else another writer emptied it since, and the line with
// it). The mark and the line are written over the file's start and the
// file is cut to their length after: a line another writer appends
// meanwhile lands at the old end and is cut too, and as its own write ended
// past the cap its writer comes here after us and finds its line erased.
// No line appended after the cut is touched. Without the lock (it cannot
// be had) the file is emptied all the same, as by a sole writer.
Emptying EmptyPastCap(int fd, std::string_view line, uint64_t cap) {
    FileLockHeld lock(fd);
    const int64_t size = FileSize(fd);
    if (size < 0) return Emptying::kNotEmptied;
    if (static_cast<uint64_t>(size) <= cap) return Emptying::kLineErased;
    // A descriptor in append mode appends whatever offset a write names:
    // the mode is off while the start is written.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_APPEND) != 0) return Emptying::kNotEmptied;
    const bool placed = WriteAll(fd, kByteOrderMark, 0) &&
                        WriteAll(fd, line, static_cast<off_t>(kByteOrderMark.size()));
    if (::fcntl(fd, F_SETFL, flags) != 0) return Emptying::kFileBroken;
    if (!placed || ::ftruncate(fd, static_cast<off_t>(kByteOrderMark.size() + line.size())) != 0)
        return Emptying::kNotEmptied;
    return Emptying::kEmptied;
}

// The text after the last "/" of a path, up to the last "." after it.
std::u16string HostProgramNameOf(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t start = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    size_t end = (dot == std::string::npos || dot < start) ? path.size() : dot;
    return mv::ToUtf16(std::string_view(path).substr(start, end - start));
}

std::string ModuleFileName(HMODULE module) {
    auto buffer = std::make_unique<char[]>(kPathBufferSize);
    DWORD n = GetModuleFileNameA(module, buffer.get(), kPathBufferSize);
    if (n == 0 || n >= kPathBufferSize) return {};
    return std::string(buffer.get(), n);
}

// <common app data>/Morva/DiagnosticLogs/Morva Calc/, each level created
// when missing (failures show later as open failures); empty when the
// common application-data folder is unavailable.
std::u16string MakeLogFolder() {
    std::string folder = mv::CommonAppDataFolder();
    if (folder.empty()) return {};
    for (const char* part : {"Morva", "DiagnosticLogs", "Morva Calc"}) {
        folder = mv::JoinPath(folder, part);
        CreateDirectoryA(folder.c_str(), nullptr);
    }
    return mv::ToUtf16(folder + "/");
}

}  // namespace

CDiagnosticLog::CDiagnosticLog() {
    std::memset(m_Flags, 0, sizeof m_Flags);
    m_Flags[LogErrors] = 1;
    InitializeCriticalSection(&m_Lock);
}

CDiagnosticLog::~CDiagnosticLog() {
    CloseFileLocked();
    DeleteCriticalSection(&m_Lock);
}

void CDiagnosticLog::CloseFileLocked() noexcept {
    if (m_File >= 0) ::close(m_File);
    m_FileWatch.Stop();
    m_File = -1;
    m_FilePath.clear();
    m_FileUser.clear();
}

void CDiagnosticLog::ReadSettings(int component) {
    if (component < 0 || component > 3) return;
    m_ComponentName = mv::ToUtf16(kComponentNames[component]);
    const std::string keyPath = std::string(kLoggingKey) + kComponentNames[component];
    for (int i = 0; i < kLogCategoryCount; ++i) {
        if (!kCategoryNames[i]) continue;
        m_Flags[i] = ReadCategorySetting(keyPath, kCategoryNames[i]) ? 1 : 0;
    }
    m_Flags[LogErrors] = 1;

    m_LogSize = 1;
    RegistryKey key(keyPath);
    if (!key.get()) return;
    BYTE buffer[4] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    if (RegQueryValueExA(key.get(), "LogSize", nullptr, &type, buffer, &size) == ERROR_SUCCESS &&
        type == REG_DWORD && size == sizeof buffer) {
        m_LogSize = static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
                    static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
    }
}

void CDiagnosticLog::Initialize(HINSTANCE module, int component, LogText qualifier,
                                LogText version) noexcept {
    try {
        try {
            ReadSettings(component);
        } catch (...) {
            // A failed read keeps what was read so far; the log still works.
        }
        m_QualifierTag = qualifier.view();
        m_VersionTag = version.view();

        const std::string modulePath = ModuleFileName(module);
        const std::string exePath = ModuleFileName(nullptr);
        m_HostProgramName = HostProgramNameOf(exePath);
        size_t slash = modulePath.rfind('/');
        m_ModuleFolder = slash == std::string::npos ? std::u16string()
                                                    : mv::ToUtf16(modulePath.substr(0, slash + 1));
        m_LogFolder = MakeLogFolder();

        mv::CriticalSectionLock lock(m_Lock);
        m_FilePrefix.clear();
        CloseFileLocked();
    } catch (...) {
        mv::CriticalSectionLock lock(m_Lock);
        m_FilePrefix.clear();
        CloseFileLocked();
    }
}

bool CDiagnosticLog::BuildPrefixLocked() noexcept {
    if (!m_FilePrefix.empty()) return true;
    try {
        std::u16string prefix = m_LogFolder.empty() ? m_ModuleFolder : m_LogFolder;
        prefix += m_HostProgramName;
        prefix += u".";
        prefix += m_ComponentName;
        prefix += u".";
        if (!m_QualifierTag.empty()) prefix += m_QualifierTag + u".";
        prefix += u"x86.";
        if (!m_VersionTag.empty()) prefix += m_VersionTag + u".";
        m_FilePrefix = std::move(prefix);
    } catch (...) {
        m_FilePrefix.clear();
    }
    return !m_FilePrefix.empty();
}

std::string CDiagnosticLog::CurrentFileName() noexcept {
    try {
        std::string user = UserNameOfThread();
        mv::CriticalSectionLock lock(m_Lock);
        if (!BuildPrefixLocked()) return {};
        return mv::ToUtf8(m_FilePrefix) + user + ".log";
    } catch (...) {
        return {};
    }
}

bool CDiagnosticLog::FileStillNamedLocked() noexcept {
    if (m_FileWatch.Quiet()) return true;
    struct stat named {};
    return ::stat(m_FilePath.c_str(), &named) == 0 &&
           static_cast<uint64_t>(named.st_dev) == m_FileDevice &&
           static_cast<uint64_t>(named.st_ino) == m_FileInode;
}

void CDiagnosticLog::KeepFileLocked(int fd, const std::string& path, const std::string& user) {
    struct stat st {};
    ::fstat(fd, &st);
    m_File = fd;
    m_FilePath = path;
    m_FileUser = user;
    m_FileDevice = static_cast<uint64_t>(st.st_dev);
    m_FileInode = static_cast<uint64_t>(st.st_ino);
    // The watch reports the file's removal (its link count changes) and its
    // renaming. It goes on what the path names when it is set up, so it is
    // kept only when that is still the open file.
    m_FileWatch.Stop();
    if (m_FileWatch.Add(path, mv::FileWatch::kFileMoved)) {
        struct stat named {};
        if (::stat(path.c_str(), &named) != 0 || named.st_dev != st.st_dev ||
            named.st_ino != st.st_ino)
            m_FileWatch.Stop();
    }
}

// A line whose write ends past LogSize x 1,024,000 bytes empties the file
// and starts it again with the mark and that line. Several processes may
// write one file: lines are appended without a lock, and the mark of a new
// file and an emptying are decided under the file's own lock, so that one
// crossing of the cap empties the file once and no line written after an
// emptying is lost. Where the file system grants no lock they are decided
// without it: the cap still holds, and only writers sharing the file may
// lose lines to each other's emptyings.
void CDiagnosticLog::WriteLocked(const std::u16string& line, const std::string& user) {
    if (!BuildPrefixLocked()) return;
    std::string& bytes = m_LineBytes;  // kept between lines, as its memory
    FileBytes(line, bytes);

    // The open file serves the thread's user while its path still names it;
    // a file removed or renamed away gets a new one, as a fresh open would.
    if (m_File >= 0 && (user != m_FileUser || !FileStillNamedLocked())) CloseFileLocked();
    // The cap is computed in 64 bits so that a large LogSize cannot wrap.
    const uint64_t cap = static_cast<uint64_t>(m_LogSize) * kLogSizeUnit;
    // A line whose write ends past the cap empties the file and starts it
    // again. When another writer emptied it first, or the file is no longer
    // the one its path names, the line is written again, at most twice.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (m_File < 0) {
            const std::string path = mv::ToUtf8(m_FilePrefix) + user + ".log";
            int fd = OpenForAppend(path);
            if (fd < 0) {
                ReportOpenFailure(errno);
                return;
            }
            KeepFileLocked(fd, path, user);
        }
        if (!WriteAll(m_File, bytes)) return;
        const off_t end = ::lseek(m_File, 0, SEEK_CUR);
        if (end < 0 || static_cast<uint64_t>(end) <= cap) return;
        if (!FileStillNamedLocked()) {
            CloseFileLocked();
            continue;
        }
        switch (EmptyPastCap(m_File, bytes, cap)) {
            case Emptying::kLineErased:
                continue;
            case Emptying::kFileBroken:
                CloseFileLocked();
                return;
            default:
                return;
        }
    }
}

void CDiagnosticLog::WriteLine(LogText text, LogText detail) noexcept {
    try {
        const std::string user = UserNameOfThread();
        std::u16string line;
        line.reserve(48 + text.view().size() + detail.view().size());
        line += ThreadTag();

        mv::CriticalSectionLock lock(m_Lock);
        try {
            if (text.view().empty()) {
                line = u"\n";
            } else {
                SYSTEMTIME st{};
                GetLocalTime(&st);
                // MM/DD/YYYY hh:mm:ss.mmm
                const struct {
                    unsigned value;
                    int digits;
                    char16_t after;
                } fields[] = {{st.wMonth, 2, u'/'},       {st.wDay, 2, u'/'},
                              {st.wYear, 4, u' '},        {st.wHour, 2, u':'},
                              {st.wMinute, 2, u':'},      {st.wSecond, 2, u'.'},
                              {st.wMilliseconds, 3, u' '}};
                for (const auto& f : fields) {
                    AppendDigits(line, f.value, f.digits);
                    line += f.after;
                }
                line += text.view();
                if (!detail.view().empty()) {
                    line += u": ";
                    line += detail.view();
                }
                line += u"\n";
            }
            WriteLocked(line, user);
        } catch (...) {
            // The line is lost; the log goes on.
        }
    } catch (...) {
    }
}

void CDiagnosticLog::WriteLineA(LogText text, LogTextA detail) noexcept {
    try {
        const std::u16string wide = mv::ToUtf16(detail.view());
        WriteLine(text, wide);
    } catch (...) {
    }
}

void CDiagnosticLog::LogTextWithBstr(LogTextA text, BSTR detail) noexcept {
    try {
        const std::u16string wide = mv::ToUtf16(text.view());
        WriteLine(wide, LogText(detail));
    } catch (...) {
    }
    SysFreeString(detail);
}

std::u16string CDiagnosticLog::HResultText(HRESULT hr) noexcept {
    try {
        switch (static_cast<uint32_t>(hr)) {
            case 0x00000000u:
                return u"S_OK";
            case 0x00000001u:
                return u"S_FALSE";
            case 0x80070057u:
                return u"E_INVALIDARG";
            case 0x8007000Eu:
                return u"E_OUTOFMEMORY";
            case 0x80004003u:
                return u"E_POINTER";
            case 0x80004005u:
                return u"E_FAIL";
            case 0x8000FFFFu:
                return u"E_UNEXPECTED";
            default:
                break;
        }
        char buffer[1024] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, static_cast<DWORD>(hr), 0,
                                 buffer, sizeof buffer, nullptr);
        if (n > 0 && n < sizeof buffer) {
            std::string_view message(buffer, n);
            // System messages end in CR LF; only that ending is cut.
            if (message.size() >= 2 && message.substr(message.size() - 2) == "\r\n")
                message.remove_suffix(2);
            return mv::ToUtf16(message);
        }
        return Decimal(hr);
    } catch (...) {
        return {};
    }
}

void CDiagnosticLog::HResultToText(HRESULT hr, BSTR* text) noexcept {
    if (!text) return;
    SysFreeString(*text);
    const std::u16string value = HResultText(hr);
    *text = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
}

void MvLogFailNextOpenForTesting(int error) {
    g_failNextOpen.store(error);
}

void MvLogFailLocksForTesting(int error) {
    g_failLocks.store(error);
}
