// The run's error text: replaced or extended by the failing steps, logged
// whenever it is left non-empty. A writer marks the run failed before the
// text grows, so that a failure counts also when its text is lost.
#include "calculation/calculation.h"
#include "frame/trace.h"

void CMvCalculation::WriteError(const char* name, const char* text, bool append) {
    MvStepFrame step(name);
    try {
        mv::ObjectLock lock(this);
        if (text && *text) m_Failed = true;
        if (append)
            m_ErrorText += text ? text : "";
        else
            m_ErrorText = text ? text : "";
        if (m_ErrorText.empty()) return;
        MvLogErrorHr(name, S_OK);
        MvLogErrorA(name, {"An error exception was caught. ", m_ErrorText});
    } catch (...) {
        MvLogErrorHr(name, E_UNEXPECTED);
    }
}

void CMvCalculation::SetError(const std::string& text) {
    WriteError("CMvCalculation::SetError", text.c_str(), false);
}

void CMvCalculation::SetError(const char* text) {
    WriteError("CMvCalculation::SetError", text, false);
}

void CMvCalculation::AddError(const std::string& text) {
    WriteError("CMvCalculation::AddError", text.c_str(), true);
}

void CMvCalculation::AddError(const char* text) {
    WriteError("CMvCalculation::AddError", text, true);
}

void CMvCalculation::AppendErrorLine(const std::string& text) {
    mv::ObjectLock lock(this);
    if (!text.empty()) m_Failed = true;
    if (!m_ErrorText.empty()) m_ErrorText += '\n';
    m_ErrorText += text;
}

void CMvCalculation::MarkFailed() noexcept {
    mv::ObjectLock lock(this);
    m_Failed = true;
}

void CMvCalculation::ClearErrorLocked() noexcept {
    m_ErrorText.clear();
    m_Failed = false;
}
