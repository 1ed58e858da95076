// Helpers of the diagnostic-log tests: a fixed clock and time zone, a
// private application-data folder and registry, and the file's bytes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "frame/diagnostic_log.h"
#include "oleaut.h"
#include "sys.h"

namespace logtest {

// 2024-03-07 12:05:09.042 UTC; 14:05:09.042 in the zone "XST-2".
constexpr int64_t kFixedMicroseconds = 1709813109042000;
inline const char* const kStamp = "03/07/2024 14:05:09.042";

inline int64_t FixedClock() {
    return kFixedMicroseconds;
}

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

// UTF-16LE bytes of an ASCII or UTF-8 text, each LF stored as CR LF.
inline std::string FileBytes(std::string_view utf8) {
    std::string out;
    for (char16_t c : mv::ToUtf16(utf8)) {
        if (c == u'\n') out += std::string("\r\0", 2);
        out.push_back(static_cast<char>(c & 0xFF));
        out.push_back(static_cast<char>(c >> 8));
    }
    return out;
}

inline const std::string kBom("\xFF\xFE", 2);

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The text of a whole log file without its byte-order mark, CR LF as LF.
inline std::string ReadText(const std::string& path) {
    std::string bytes = ReadBytes(path);
    if (bytes.compare(0, 2, kBom) == 0) bytes.erase(0, 2);
    std::u16string text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                             static_cast<unsigned char>(bytes[i + 1]) << 8));
    std::string out;
    for (char c : mv::ToUtf8(text))
        if (c != '\r') out.push_back(c);
    return out;
}

// The start of every line the calling thread writes.
inline std::string LinePrefix() {
    return "(" + std::to_string(GetCurrentThreadId()) + ") " + kStamp + " ";
}

// A private application-data folder, an in-memory registry, a fixed clock,
// the time zone "XST-2" and the thread user "alice" for each test.
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/mvlogtest-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        appdata_.emplace("MORVA_COMMON_APPDATA", (root_ + "/appdata").c_str());
        tz_.emplace("TZ", "XST-2");
        tzset();
        mv::SetClockForTesting(&FixedClock);
        mv::RegistryUseMemoryStore(true);
        mv::SetThreadUserNameForTesting("alice");
    }
    void TearDown() override {
        mv::SetThreadUserNameForTesting(nullptr);
        mv::RegistryUseMemoryStore(false);
        mv::SetClockForTesting(nullptr);
        tz_.reset();
        tzset();
        appdata_.reset();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    std::string LogFolder() const { return root_ + "/appdata/Morva/DiagnosticLogs/Morva Calc/"; }
    std::string HostName() const {
        return std::filesystem::path(ModuleFile(nullptr)).stem().string();
    }
    static std::string ModuleFile(HMODULE module) {
        char buffer[4096];
        DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
        return std::string(buffer, n);
    }
    // The file of this module's log for the user "alice".
    std::string DefaultFile() const {
        return LogFolder() + HostName() + ".MorvaCalc.x86.17.0.0.266.alice.log";
    }

    static void SetValue(const char* component, const char* name, DWORD type, const void* data,
                         DWORD size) {
        HKEY key = nullptr;
        std::string path = std::string("SOFTWARE\\Morva\\Morva Calc\\Logging\\") + component;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetText(const char* component, const char* name, const char* text) {
        SetValue(component, name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
    }
    static void SetDword(const char* component, const char* name, DWORD value) {
        SetValue(component, name, REG_DWORD, &value, sizeof value);
    }

    // Initialises a log as the module does.
    static void InitializeModuleLog(CDiagnosticLog& log, HMODULE module = nullptr) {
        log.Initialize(module, LogComponentMorvaCalc, u"", u"17.0.0.266");
    }

    std::string root_;
    std::optional<ScopedEnv> appdata_;
    std::optional<ScopedEnv> tz_;
};

}  // namespace logtest
