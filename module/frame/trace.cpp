// The lines of the method frame, the step frame and error lines.
#include "frame/trace.h"

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
