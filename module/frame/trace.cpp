// The lines of the method frame, the step frame and error lines.
#include "frame/trace.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::u16string Wide(const char* name) {
    return mv::ToUtf16(name);
}

}  // namespace

void MvTraceMethodStart(const char* name) noexcept {
    try {
        g_DiagnosticLog.WriteLine(u"");
        g_DiagnosticLog.WriteLine(Wide(name), u"Method - Start");
    } catch (...) {
    }
}

void MvTraceMethodEnd(const char* name, HRESULT hr) noexcept {
    try {
        g_DiagnosticLog.WriteLine(Wide(name),
                                  u"Method - End (" + CDiagnosticLog::HResultText(hr) + u")");
    } catch (...) {
    }
}

void MvTraceMethodException(const char* name) noexcept {
    try {
        g_DiagnosticLog.WriteLine(Wide(name), u"E_UNEXPECTED");
    } catch (...) {
    }
}

// The count of exceptions in flight is only taken while steps are traced:
// taking it costs a look-up of the thread's exception state.
MvStepFrame::MvStepFrame(const char* name) noexcept
    : m_Name(name), m_Exceptions(g_DiagnosticLog.IsOn(LogSteps) ? std::uncaught_exceptions() : 0) {
    if (!g_DiagnosticLog.IsOn(LogSteps)) return;
    try {
        g_DiagnosticLog.WriteLine(Wide(m_Name) + u"( Function - Start )");
    } catch (...) {
    }
}

MvStepFrame::~MvStepFrame() {
    if (!g_DiagnosticLog.IsOn(LogSteps) || std::uncaught_exceptions() > m_Exceptions) return;
    try {
        g_DiagnosticLog.WriteLine(Wide(m_Name) + u"( Function - End )");
    } catch (...) {
    }
}

void MvLogError(const char* operation, LogText error) noexcept {
    try {
        g_DiagnosticLog.WriteLine(Wide(operation), error);
    } catch (...) {
    }
}

void MvLogErrorA(const char* operation, LogTextA error) noexcept {
    try {
        g_DiagnosticLog.WriteLineA(Wide(operation), error);
    } catch (...) {
    }
}

void MvLogErrorHr(const char* operation, HRESULT hr) noexcept {
    try {
        g_DiagnosticLog.WriteLine(Wide(operation), CDiagnosticLog::HResultText(hr));
    } catch (...) {
    }
}

void LogPiece::AppendTo(std::string& text) const {
    if (m_IsWide)
        text += mv::ToUtf8(m_Wide);
    else
        text += m_Narrow;
}

void LogPiece::AppendTo(std::u16string& text) const {
    if (m_IsWide)
        text += m_Wide;
    else
        text += mv::ToUtf16(m_Narrow);
}

void MvLogErrorA(const char* operation, std::initializer_list<LogPiece> pieces) noexcept {
    try {
        std::string text;
        for (const LogPiece& piece : pieces) piece.AppendTo(text);
        g_DiagnosticLog.WriteLineA(Wide(operation), text);
    } catch (...) {
    }
}

void MvLogFailure(const char* operation, HRESULT hr, LogTextA message) noexcept {
    MvLogErrorHr(operation, hr);
    MvLogErrorA(operation, message);
}

void MvLogFailure(const char* operation, HRESULT hr,
                  std::initializer_list<LogPiece> message) noexcept {
    MvLogErrorHr(operation, hr);
    MvLogErrorA(operation, message);
}

void MvLogLine(std::initializer_list<LogPiece> pieces) noexcept {
    try {
        std::u16string text;
        for (const LogPiece& piece : pieces) piece.AppendTo(text);
        g_DiagnosticLog.WriteLine(text);
    } catch (...) {
    }
}

MvLogUserName::MvLogUserName() noexcept {
    // As the log has it: never looked up at a line.
    const std::string* name = mv::UserNameWithoutLookUp();
    const size_t length = name && name->size() < sizeof m_Name ? name->size() : 0;
    if (length) std::memcpy(m_Name, name->data(), length);
    m_Name[length] = '\0';
}

MvLogNumberText::MvLogNumberText(const char* pattern, long long number) noexcept {
    if (std::snprintf(m_Text, sizeof m_Text, pattern, number) < 0) m_Text[0] = '\0';
}
