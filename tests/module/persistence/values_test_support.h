// Support shared by the persistence tests (and by neighbouring folders):
// class objects served from the process's own class table, the thread's
// error information, and what the diagnostic log gains during a test.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <string>
#include <utility>

#include "comobj.h"
#include "frame/diagnostic_log.h"

namespace values_test {

// Serves a class object under `clsid` from the process's own class table
// for the lifetime of the object.
class ServedClass {
public:
    ServedClass(REFCLSID clsid, IUnknown* factory) {
        EXPECT_EQ(CoRegisterClassObject(clsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                        &cookie_),
                  S_OK);
    }
    template <class T>
    static ServedClass Of(REFCLSID clsid) {
        mv::ComPtr<IUnknown> factory;
        EXPECT_EQ(mv::CreateClassFactory<T>(IID_IUnknown, factory.PutVoid()), S_OK);
        return ServedClass(clsid, factory.get());
    }
    ServedClass(ServedClass&& o) noexcept : cookie_(std::exchange(o.cookie_, 0)) {}
    ServedClass(const ServedClass&) = delete;
    ServedClass& operator=(const ServedClass&) = delete;
    ~ServedClass() {
        if (cookie_) CoRevokeClassObject(cookie_);
    }

private:
    DWORD cookie_ = 0;
};

// The thread's error information, taken (and so cleared) by the call.
struct ErrorInfoText {
    bool present = false;
    std::u16string description;
    std::u16string source;
    GUID iid{};
};
inline ErrorInfoText TakeErrorInfo() {
    ErrorInfoText out;
    mv::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) != S_OK || !info) return out;
    out.present = true;
    mv::Bstr text;
    info->GetDescription(text.Out());
    out.description = std::u16string(text.view());
    info->GetSource(text.Out());
    out.source = std::u16string(text.view());
    info->GetGUID(&out.iid);
    return out;
}
// The description alone; "<none>" when there is no error information.
inline std::u16string TakeErrorText() {
    ErrorInfoText info = TakeErrorInfo();
    return info.present ? info.description : u"<none>";
}

// Collects what g_DiagnosticLog writes from construction on, with the
// "Methods" and "Steps" categories switched on as asked; restores the flags
// at the end. The log is initialised once for the process.
class LogCapture {
public:
    explicit LogCapture(bool methods = false, bool steps = false) {
        static const bool initialised = [] {
            g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, u"", u"17.0.0.266");
            return true;
        }();
        (void)initialised;
        saved_[0] = g_DiagnosticLog.m_Flags[LogMethods];
        saved_[1] = g_DiagnosticLog.m_Flags[LogSteps];
        g_DiagnosticLog.m_Flags[LogMethods] = methods ? 1 : 0;
        g_DiagnosticLog.m_Flags[LogSteps] = steps ? 1 : 0;
        path_ = g_DiagnosticLog.CurrentFileName();
        std::error_code ec;
        auto size = std::filesystem::file_size(path_, ec);
        start_ = ec ? 0 : static_cast<std::size_t>(size);
    }
    ~LogCapture() {
        g_DiagnosticLog.m_Flags[LogMethods] = saved_[0];
        g_DiagnosticLog.m_Flags[LogSteps] = saved_[1];
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The text written since construction, UTF-8, as the file holds it.
    std::string Text() const {
        std::ifstream in(path_, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        if (bytes.size() < start_) return "(log file was emptied)";
        bytes.erase(0, start_);
        if (bytes.compare(0, 2, "\xFF\xFE") == 0) bytes.erase(0, 2);
        std::u16string text;
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 static_cast<unsigned char>(bytes[i + 1]) << 8));
        return mv::ToUtf8(text);
    }
    // The new lines, without time stamps and thread ids, "\n" after each.
    std::string Lines() const {
        std::string out;
        std::string line;
        for (char c : Text()) {
            if (c == '\r') continue;
            if (c != '\n') {
                line.push_back(c);
                continue;
            }
            // "(tid) MM/DD/YYYY hh:mm:ss.mmm text": keep the text.
            std::size_t pos = line.find(") ");
            if (pos != std::string::npos && line.size() > pos + 2 + 24) line.erase(0, pos + 2 + 24);
            out += line + "\n";
            line.clear();
        }
        return out;
    }

private:
    std::string path_;
    std::size_t start_ = 0;
    BYTE saved_[2];
};

// A call that must fail as a fault would: E_UNEXPECTED and exactly the
// method frame's error line `line`.
struct FaultingCall {
    const char* line;
    std::function<HRESULT()> call;
};
inline void ExpectFaults(std::initializer_list<FaultingCall> calls) {
    for (const FaultingCall& c : calls) {
        SCOPED_TRACE(c.line);
        LogCapture log;
        EXPECT_EQ(c.call(), E_UNEXPECTED);
        EXPECT_EQ(log.Lines(), c.line);
    }
}

}  // namespace values_test
