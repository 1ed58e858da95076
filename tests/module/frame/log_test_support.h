// Helpers of the diagnostic-log tests: a fixed clock and time zone, a
// private application-data folder and registry, and the file's bytes.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "frame/diagnostic_log.h"

namespace logtest {

// 2024-03-07 12:05:09.042 UTC, 14:05:09.042 in the zone "XST-2".
inline int64_t FixedClock() {
    return 1709813109042000;
}

// Sets (or, with null, removes) an environment variable for the lifetime of
// the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

inline const std::string kBom("\xFF\xFE", 2);

// The UTF-16LE bytes of a UTF-8 text, each LF stored as CR LF.
inline std::string FileBytes(std::string_view utf8) {
    std::string out;
    for (char16_t c : mv::ToUtf16(utf8)) {
        if (c == u'\n') out += std::string("\r\0", 2);
        out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    return out;
}

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A whole log file as UTF-8 without its byte-order mark, CR LF read as LF.
inline std::string ReadText(const std::string& path) {
    const std::string bytes = ReadBytes(path);
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        if (char16_t c = static_cast<unsigned char>(bytes[i]) |
                         static_cast<unsigned char>(bytes[i + 1]) << 8;
            c != u'\r')
            text.push_back(c);
    return mv::ToUtf8(text);
}

// The start of every line the calling thread writes.
inline std::string LinePrefix() {
    return "(" + std::to_string(GetCurrentThreadId()) + ") 03/07/2024 14:05:09.042 ";
}

inline std::string ModuleFile(HMODULE module) {
    char buffer[4096];
    return std::string(buffer, GetModuleFileNameA(module, buffer, sizeof buffer));
}

// Each test gets a private application-data folder, an in-memory registry,
// the fixed clock, the time zone "XST-2" and the thread user "alice".
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
        std::filesystem::remove_all(root_);
    }

    std::string LogFolder() const { return root_ + "/appdata/Morva/DiagnosticLogs/Morva Calc/"; }
    static std::string HostName() {
        return std::filesystem::path(ModuleFile(nullptr)).stem().string();
    }
    // This module's log file for a user.
    std::string DefaultFile(const std::string& user = "alice") const {
        return LogFolder() + HostName() + ".MorvaCalc.x86.17.0.0.266." + user + ".log";
    }

    // A value of the component's logging key, given as its bytes.
    static void SetValue(const char* component, const char* name, DWORD type,
                         const std::string& bytes) {
        HKEY key = nullptr;
        const std::string path = std::string("SOFTWARE\\Morva\\Morva Calc\\Logging\\") + component;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static std::string Dword(uint32_t v) {
        return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                static_cast<char>(v >> 24)};
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
