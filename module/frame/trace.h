// The method frame and the step frame: how every class of the module traces
// its work into g_DiagnosticLog.
//
// A COM method runs its body inside MvMethodFrame:
//
//   STDMETHODIMP CMvCalcSampleInfo::get_CurrentSample(LONG* pVal) {
//       return MvMethodFrame("CMvCalcSampleInfo::get_CurrentSample", [&] {
//           if (!pVal) return E_POINTER;
//           *pVal = m_CurrentSample;
//           return S_OK;
//       });
//   }
//
// With "Methods" on, the frame writes an empty line, "<name>: Method - Start"
// and, after the body, "<name>: Method - End (<result text>)". Running out of
// memory in the body (std::bad_alloc) becomes E_OUTOFMEMORY; any other
// exception that escapes the body becomes E_UNEXPECTED and writes
// "<name>: E_UNEXPECTED" whatever the flags say. A body may also return
// nothing (S_OK).
//
// An internal function traces with a step frame, which writes
// "<name>( Function - Start )" and, when the function leaves normally,
// "<name>( Function - End )", both only with "Steps" on:
//
//   void CMvCalculation::CallDllFunction() {
//       MvStepFrame step("CMvCalculation::CallDllFunction");
//       ...
//   }
//
// Names are ASCII text: the class name, "::" and the method name.
#pragma once

#include <exception>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "frame/diagnostic_log.h"

// The frame's lines, for code that cannot use the template below.
void MvTraceMethodStart(const char* name) noexcept;
void MvTraceMethodEnd(const char* name, HRESULT hr) noexcept;
void MvTraceMethodException(const char* name) noexcept;

// The frame of the members that write no trace lines: runs `work` and
// returns its result (S_OK for a body that returns nothing), E_OUTOFMEMORY
// when it runs out of memory, E_UNEXPECTED (and *unexpected set) when it
// throws anything else. The method frames below are built on it.
template <class Work>
HRESULT MvGuardedCall(Work&& work, bool* unexpected = nullptr) noexcept {
    return mv::CallGuarded(work, E_OUTOFMEMORY, unexpected);
}

// Runs `work` in the method frame and returns its result (S_OK for a body
// that returns nothing; E_OUTOFMEMORY when it runs out of memory,
// E_UNEXPECTED when it throws anything else).
template <class Work>
HRESULT MvMethodFrame(const char* name, Work&& work) noexcept {
    if (g_DiagnosticLog.IsOn(LogMethods)) MvTraceMethodStart(name);
    bool unexpected = false;
    const HRESULT hr = MvGuardedCall(work, &unexpected);
    if (unexpected) MvTraceMethodException(name);
    if (g_DiagnosticLog.IsOn(LogMethods)) MvTraceMethodEnd(name, hr);
    return hr;
}

// The method frame for a body that may leave without the closing line (a
// refused value that returns at once): the body takes `bool& writeEnd` and
// clears it on such a road.
template <class Work>
HRESULT MvMethodFrameNoEnd(const char* name, Work&& work) noexcept {
    const bool methods = g_DiagnosticLog.IsOn(LogMethods);
    if (methods) MvTraceMethodStart(name);
    bool writeEnd = true;
    bool unexpected = false;
    const HRESULT hr = MvGuardedCall([&] { return work(writeEnd); }, &unexpected);
    if (unexpected) MvTraceMethodException(name);
    if (methods && writeEnd) MvTraceMethodEnd(name, hr);
    return hr;
}

// Writes the step lines of an internal function for the lifetime of the
// object. The end line is left out when the function is left by an
// exception.
class MvStepFrame {
public:
    explicit MvStepFrame(const char* name) noexcept;
    ~MvStepFrame();
    MvStepFrame(const MvStepFrame&) = delete;
    MvStepFrame& operator=(const MvStepFrame&) = delete;

private:
    const char* m_Name;
    int m_Exceptions;
};

// An error line: the failing operation's name and the error text, written
// whatever the flags say.
void MvLogError(const char* operation, LogText error) noexcept;
void MvLogErrorA(const char* operation, LogTextA error) noexcept;
// An error line whose detail is the text of an HRESULT.
void MvLogErrorHr(const char* operation, HRESULT hr) noexcept;

// A piece of a log text with one number put in by a printf pattern that
// takes a long long ("%lld"); the text is held in the object itself, so
// building it takes no memory. Longer texts are cut.
class MvLogNumberText {
public:
    MvLogNumberText(const char* pattern, long long number) noexcept;
    std::string_view view() const noexcept { return m_Text; }
    operator LogTextA() const noexcept { return LogTextA(view()); }

private:
    char m_Text[160];
};

// The calling thread's user name as a piece of a log text, held in the
// object itself (empty when the name cannot be had).
class MvLogUserName {
public:
    MvLogUserName() noexcept;
    std::string_view view() const noexcept { return m_Name; }

private:
    char m_Name[257];
};

// A piece of a log text: a narrow (UTF-8) text, a number text or a UTF-16
// text (null reads as empty), turned to UTF-8 only when the line is built.
class LogPiece {
public:
    LogPiece(const char* text) noexcept : m_Narrow(text ? text : "") {}
    LogPiece(std::string_view text) noexcept : m_Narrow(text) {}
    LogPiece(const std::string& text) noexcept : m_Narrow(text) {}
    LogPiece(const MvLogNumberText& text) noexcept : m_Narrow(text.view()) {}
    LogPiece(const MvLogUserName& text) noexcept : m_Narrow(text.view()) {}
    LogPiece(const OLECHAR* text) noexcept : m_Wide(text ? text : u""), m_IsWide(true) {}
    LogPiece(std::u16string_view text) noexcept : m_Wide(text), m_IsWide(true) {}
    LogPiece(const std::u16string& text) noexcept : m_Wide(text), m_IsWide(true) {}
    LogPiece(const mv::Bstr& text) noexcept : m_Wide(text.view()), m_IsWide(true) {}
    // Appends the piece as UTF-8 or UTF-16; throws std::bad_alloc when
    // memory runs out.
    void AppendTo(std::string& text) const;
    void AppendTo(std::u16string& text) const;

private:
    std::string_view m_Narrow;
    std::u16string_view m_Wide;
    bool m_IsWide = false;
};

// An error line whose text is joined from `pieces` inside the log, the two
// error lines of a failure (the text of `hr`, then the message) and a line
// of text alone. A caller hands over pieces rather than a text it built: a
// line that cannot be built for lack of memory is dropped, and the caller
// goes on to return the failure it reports.
void MvLogErrorA(const char* operation, std::initializer_list<LogPiece> pieces) noexcept;
void MvLogFailure(const char* operation, HRESULT hr, LogTextA message) noexcept;
void MvLogFailure(const char* operation, HRESULT hr,
                  std::initializer_list<LogPiece> message) noexcept;
void MvLogLine(std::initializer_list<LogPiece> pieces) noexcept;
