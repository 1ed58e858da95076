// Shared set-up of the object-server tests: the start event, the stand-in
// servers, a log with a readable file, and a clean stop after each test.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "frame/diagnostic_log.h"
#include "frame/object_server.h"
#include "hosted_servers_sim.h"
#include "log_test_support.h"

namespace objserver_test {

class ObjectServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        hosted::Reset();
        hosted::SeedWorkbook(u"Plant.xls", {u"Sheet1"});
        hosted::SeedWorkbook(u"Plant", {u"Sheet1"});
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

    // The log file's text as UTF-8 with LF line ends.
    static std::string ReadLog() { return logtest::ReadText(g_DiagnosticLog.CurrentFileName()); }
    // What this test wrote to the log.
    std::string NewLog() const { return ReadLog().substr(logStart_); }

    // How many lines of this test's log contain `needle`.
    int LinesWith(const std::string& needle) const {
        std::istringstream in(NewLog());
        int n = 0;
        for (std::string line; std::getline(in, line);) n += line.find(needle) != std::string::npos;
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
