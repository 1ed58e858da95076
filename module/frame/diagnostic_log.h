// CDiagnosticLog: the module's process-wide diagnostic log, g_DiagnosticLog.
//
// Error lines are always written; trace lines only when the registry turns
// their category on. One UTF-16LE file (byte-order mark, CR LF line ends) per
// host program, component and user, under
//   <common app data>/Morva/DiagnosticLogs/Morva Calc/
//   <host>.<component>.[<qualifier>.]x86.[<version>.]<user>.log
// Each line is
//   "(" tid ") " MM/DD/YYYY hh:mm:ss.mmm " " text [": " detail] LF
// and a line with an empty text is a bare line end.
//
// The method and step frames every class uses are in trace.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "oleaut.h"
#include "sys.h"

// Index of a category flag; its name is also the registry value that
// switches it on.
enum LogCategory : int {
    LogErrors = 0,  // always on
    LogMethods = 1,
    LogCalls = 2,
    LogInParams = 3,
    LogResults = 4,
    LogSteps = 5,
    LogValidation = 6,
    LogSecurity = 8,
};
constexpr int kLogCategoryCount = 9;

// Index given to Initialize: the component name of the file and the
// registry key.
enum LogComponent : int {
    LogComponentScheduler = 0,  // "MvScheduler"
    LogComponentMorvaCalc = 1,  // "MorvaCalc" (this module)
    LogComponentHistory = 2,    // "MvHistory"
    LogComponentFunctions = 3,  // "MvFunctions"
};

// A UTF-16 text handed to the log: a zero-terminated OLE text or BSTR (null
// reads as empty), a UTF-16 string or view, or an mv::Bstr. The log copies
// what it needs before returning.
class LogText {
public:
    LogText() noexcept = default;
    LogText(const OLECHAR* text) noexcept : view_(text ? text : u"") {}
    LogText(std::u16string_view text) noexcept : view_(text) {}
    LogText(const std::u16string& text) noexcept : view_(text) {}
    LogText(const mv::Bstr& text) noexcept : view_(text.view()) {}
    std::u16string_view view() const noexcept { return view_; }

private:
    std::u16string_view view_;
};

// A narrow (UTF-8) text handed to WriteLineA; null reads as empty.
class LogTextA {
public:
    LogTextA() noexcept = default;
    LogTextA(const char* text) noexcept : view_(text ? text : "") {}
    LogTextA(std::string_view text) noexcept : view_(text) {}
    LogTextA(const std::string& text) noexcept : view_(text) {}
    std::string_view view() const noexcept { return view_; }

private:
    std::string_view view_;
};

class CDiagnosticLog {
public:
    // Only "Errors" on, LogSize 1, no names.
    CDiagnosticLog();
    ~CDiagnosticLog();
    CDiagnosticLog(const CDiagnosticLog&) = delete;
    CDiagnosticLog& operator=(const CDiagnosticLog&) = delete;

    // Reads the component's registry settings and works out the host
    // program name, the module folder and the log folder (created when
    // missing). `module` names the library whose folder stands in for the log
    // folder when the common application-data folder is unavailable (null:
    // the host executable). Never throws.
    void Initialize(HINSTANCE module, int component, LogText qualifier, LogText version) noexcept;

    // Writes one line; never throws, and a failure only loses the line.
    void WriteLine(LogText text, LogText detail = {}) noexcept;
    // The same with a narrow (UTF-8) detail.
    void WriteLineA(LogText text, LogTextA detail) noexcept;
    // One line with a narrow (UTF-8) text and a BSTR detail; frees the detail
    // (null reads as empty).
    void LogTextWithBstr(LogTextA text, BSTR detail) noexcept;

    // Frees *text and stores the short text of an HRESULT in it: the name of
    // seven common codes, else the system's message without its trailing
    // CR LF, else the code as a signed decimal number.
    static void HResultToText(HRESULT hr, BSTR* text) noexcept;
    // The same text as a string (empty only when memory ran out).
    static std::u16string HResultText(HRESULT hr) noexcept;

    bool IsOn(LogCategory category) const noexcept { return m_Flags[category] != 0; }

    // Read by everyone without a lock; written only by the constructor and
    // Initialize (and by tests).
    BYTE m_Flags[kLogCategoryCount];

    // What Initialize found, for tests and diagnostics.
    const std::u16string& ComponentName() const noexcept { return m_ComponentName; }
    const std::u16string& HostProgramName() const noexcept { return m_HostProgramName; }
    const std::u16string& ModuleFolder() const noexcept { return m_ModuleFolder; }
    const std::u16string& LogFolder() const noexcept { return m_LogFolder; }
    uint32_t LogSize() const noexcept { return m_LogSize; }

    // The full path of the file the calling thread's lines go to now (empty
    // when no prefix can be built).
    std::string CurrentFileName() noexcept;

private:
    void ReadSettings(int component);
    bool BuildPrefixLocked() noexcept;
    void WriteLocked(const std::u16string& line, const std::string& user);
    void CloseFileLocked() noexcept;
    void KeepFileLocked(int fd, const std::string& path, const std::string& user);
    bool FileStillNamedLocked() noexcept;

    std::u16string m_ComponentName;
    std::u16string m_FilePrefix;
    std::u16string m_ModuleFolder;
    std::u16string m_LogFolder;
    std::u16string m_HostProgramName;
    std::u16string m_QualifierTag;
    std::u16string m_VersionTag;
    uint32_t m_LogSize = 1;
    // The file of the last line, kept open (append mode) while its path
    // still names it: -1 when none is open. The watch tells when the file
    // may have been removed or renamed.
    int m_File = -1;
    mv::FileWatch m_FileWatch;
    std::string m_FilePath;
    std::string m_FileUser;
    std::string m_LineBytes;
    uint64_t m_FileDevice = 0;
    uint64_t m_FileInode = 0;
    CRITICAL_SECTION m_Lock;
};

extern CDiagnosticLog g_DiagnosticLog;

// Makes the next open of a log file fail with `error` (an errno value), as
// a file the process may not write does. For tests, which may run as the
// superuser.
void MvLogFailNextOpenForTesting(int error);

// Makes every lock of a log file fail with `error` (an errno value other
// than EINTR; 0 ends it), as on a network file system without its lock
// service. For tests.
void MvLogFailLocksForTesting(int error);
