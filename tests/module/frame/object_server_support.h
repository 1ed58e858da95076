// Shared set-up of the object-server tests: the start event, the stand-in
// servers, a log with a readable file, and a clean stop after each test.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "frame/diagnostic_log.h"
#include "frame/object_server.h"
#include "hosted_servers_sim.h"

namespace objserver_test {

class ObjectServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        hosted::Reset();
        g_DiagnosticLog.Initialize(nullptr, LogComponentMorvaCalc, u"", u"17.0.0.266");
        g_DiagnosticLog.m_Flags[LogSteps] = 0;
        logStart_ = ReadLog().size();
        g_hObjectServerStarted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(g_hObjectServerStarted, nullptr);
    }
    void TearDown() override {
        ObjectServer_Stop();
        EXPECT_EQ(g_pObjectServer, nullptr);
        ObjectServer_SetStartupFailuresForTesting(S_OK, S_OK);
        hosted::RevokeServers();
        hosted::Reset();
        g_DiagnosticLog.m_Flags[LogSteps] = 0;
        CloseHandle(g_hObjectServerStarted);
        g_hObjectServerStarted = nullptr;
    }

    // The log file's text (UTF-16LE, CR LF) as UTF-8 with LF line ends.
    static std::string ReadLog() {
        std::ifstream in(g_DiagnosticLog.CurrentFileName(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::u16string text;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            auto c = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           static_cast<unsigned char>(bytes[i + 1]) << 8);
            if (c != u'\r') text.push_back(c);
        }
        return mv::ToUtf8(text);
    }
    // What this test wrote to the log.
    std::string NewLog() const { return ReadLog().substr(logStart_); }

    // How many lines of this test's log contain `needle`.
    int LinesWith(const std::string& needle) const {
        std::string log = NewLog();
        int n = 0;
        size_t start = 0;
        while (start < log.size()) {
            size_t end = log.find('\n', start);
            if (end == std::string::npos) end = log.size();
            if (log.substr(start, end - start).find(needle) != std::string::npos) ++n;
            start = end + 1;
        }
        return n;
    }

private:
    size_t logStart_ = 0;
};

// Owns one interface reference.
inline mv::ComPtr<IDispatch> Adopt(IDispatch* p) {
    mv::ComPtr<IDispatch> out;
    out.Attach(p);
    return out;
}

}  // namespace objserver_test
