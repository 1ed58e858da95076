// The method frame and the step frame write their lines into g_DiagnosticLog.
#include <functional>
#include <stdexcept>

#include "frame/trace.h"
#include "log_test_support.h"

namespace {

using logtest::LinePrefix;
using Lines = std::vector<std::string>;

class LogFrameTest : public logtest::LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        std::copy(std::begin(g_DiagnosticLog.m_Flags), std::end(g_DiagnosticLog.m_Flags), saved_);
        InitializeModuleLog(g_DiagnosticLog);
    }
    void TearDown() override {
        std::copy(std::begin(saved_), std::end(saved_), g_DiagnosticLog.m_Flags);
        LogFixture::TearDown();
    }
    // The file's lines without their thread and time prefix ("" for a bare
    // line end); "<no file>" when nothing was written.
    std::vector<std::string> FileLines() const {
        if (!std::filesystem::exists(DefaultFile())) return {"<no file>"};
        std::vector<std::string> lines;
        std::string text = logtest::ReadText(DefaultFile());
        const std::string prefix = LinePrefix();
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
            lines.push_back(line);
        }
        return lines;
    }

    BYTE saved_[kLogCategoryCount] = {};
};

TEST_F(LogFrameTest, MethodFrameTracesStartEndAndConvertsExceptions) {
    const auto fails = [] { return MvMethodFrame("X::Y", [] { return E_FAIL; }); };
    const auto throws = [] {
        return MvMethodFrame("X::Y", []() -> HRESULT { throw std::runtime_error("escapes"); });
    };
    struct Case {
        const char* name;
        bool methods;
        std::function<HRESULT()> body;
        HRESULT hr;
        Lines lines;
    };
    const Case cases[] = {
        {"traced result",
         true,
         fails,
         E_FAIL,
         {"", "X::Y: Method - Start", "X::Y: Method - End (E_FAIL)"}},
        {"body without result",
         true,
         [] { return MvMethodFrame("X::Y", [] {}); },
         S_OK,
         {"", "X::Y: Method - Start", "X::Y: Method - End (S_OK)"}},
        {"exception traced",
         true,
         throws,
         E_UNEXPECTED,
         {"", "X::Y: Method - Start", "X::Y: E_UNEXPECTED", "X::Y: Method - End (E_UNEXPECTED)"}},
        {"untraced result", false, fails, E_FAIL, {"<no file>"}},
        {"exception always logged", false, throws, E_UNEXPECTED, {"X::Y: E_UNEXPECTED"}},
        {"any thrown value",
         false,
         [] { return MvMethodFrame("X::Y", []() -> HRESULT { throw 42; }); },
         E_UNEXPECTED,
         {"X::Y: E_UNEXPECTED"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(DefaultFile());
        g_DiagnosticLog.m_Flags[LogMethods] = c.methods;
        EXPECT_EQ(c.body(), c.hr);
        EXPECT_EQ(FileLines(), c.lines);
    }
}

void StepThatMayThrow(bool fail) {
    MvStepFrame step("CMvCalculation::CallDllFunction");
    if (fail) throw std::runtime_error("step failed");
}

TEST_F(LogFrameTest, StepFrameTracesOnlyWithStepsOnAndNotItsEndOnException) {
    struct Case {
        const char* name;
        bool steps;
        bool fail;
        Lines lines;
    };
    const Case cases[] = {
        {"normal",
         true,
         false,
         {"CMvCalculation::CallDllFunction( Function - Start )",
          "CMvCalculation::CallDllFunction( Function - End )"}},
        {"left by an exception",
         true,
         true,
         {"CMvCalculation::CallDllFunction( Function - Start )"}},
        {"steps off", false, false, {"<no file>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(DefaultFile());
        g_DiagnosticLog.m_Flags[LogSteps] = c.steps;
        g_DiagnosticLog.m_Flags[LogMethods] = 1;  // a method trace does not switch steps on
        try {
            StepThatMayThrow(c.fail);
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(FileLines(), c.lines);
    }
}

}  // namespace
