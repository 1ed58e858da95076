// The log's settings from the registry store and the texts of HRESULTs.
#include "frame/diagnostic_log.h"
#include "log_test_support.h"

namespace {

class LogSettingsTest : public logtest::LogFixture {};

TEST_F(LogSettingsTest, ConstructedLogHasOnlyErrorsOn) {
    CDiagnosticLog log;
    for (int i = 0; i < kLogCategoryCount; ++i) EXPECT_EQ(log.m_Flags[i], i == LogErrors ? 1 : 0);
    EXPECT_EQ(log.LogSize(), 1u);
    EXPECT_EQ(log.ComponentName(), u"");
}

TEST_F(LogSettingsTest, CategoryIsOnOnlyWhenItsValueReadsOnIgnoringCase) {
    struct Case {
        const char* name;
        DWORD type;
        std::string data;  // the value's bytes
        bool on;
    };
    const Case cases[] = {
        {"lower case", REG_SZ, std::string("on", 3), true},
        {"mixed case", REG_SZ, std::string("On", 3), true},
        {"upper case", REG_SZ, std::string("ON", 3), true},
        {"trailing blank", REG_SZ, std::string("ON ", 4), false},
        {"number", REG_SZ, std::string("1", 2), false},
        {"empty", REG_SZ, std::string("", 1), false},
        {"OFF", REG_SZ, std::string("OFF", 4), false},
        {"any type is read as text", REG_BINARY, "ON", true},
        {"a dword", REG_DWORD, std::string("\x01\0\0\0", 4), false},
        {"100 bytes without a terminator", REG_BINARY, std::string(100, 'x'), false},
        {"longer than 100 bytes", REG_BINARY, "ON" + std::string(100, '\0'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetValue("MorvaCalc", "Steps", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        CDiagnosticLog log;
        InitializeModuleLog(log);
        EXPECT_EQ(log.IsOn(LogSteps), c.on);
    }
}

TEST_F(LogSettingsTest, EachCategoryReadsTheValueOfItsName) {
    const struct {
        LogCategory category;
        const char* value;
    } categories[] = {{LogMethods, "Methods"},  {LogCalls, "Calls"}, {LogInParams, "InParams"},
                      {LogResults, "Results"},  {LogSteps, "Steps"}, {LogValidation, "Validation"},
                      {LogSecurity, "Security"}};
    for (const auto& c : categories) {
        SCOPED_TRACE(c.value);
        mv::RegistryUseMemoryStore(true);
        SetText("MorvaCalc", c.value, "ON");
        CDiagnosticLog log;
        InitializeModuleLog(log);
        for (int i = 1; i < kLogCategoryCount; ++i) EXPECT_EQ(log.m_Flags[i], i == c.category);
    }
}

TEST_F(LogSettingsTest, ErrorsStayOnWhateverTheRegistrySays) {
    SetText("MorvaCalc", "Errors", "OFF");
    CDiagnosticLog log;
    log.m_Flags[LogErrors] = 0;
    InitializeModuleLog(log);
    EXPECT_TRUE(log.IsOn(LogErrors));
}

TEST_F(LogSettingsTest, OnlyTheComponentsOwnKeyIsRead) {
    SetText("MvHistory", "Methods", "ON");
    SetDword("MvHistory", "LogSize", 7);
    CDiagnosticLog calc;
    InitializeModuleLog(calc);
    EXPECT_FALSE(calc.IsOn(LogMethods));
    EXPECT_EQ(calc.LogSize(), 1u);

    CDiagnosticLog history;
    history.Initialize(nullptr, LogComponentHistory, u"", u"");
    EXPECT_TRUE(history.IsOn(LogMethods));
    EXPECT_EQ(history.LogSize(), 7u);
}

TEST_F(LogSettingsTest, ComponentOutOfRangeReadsNothing) {
    for (int component : {4, -1}) {
        SCOPED_TRACE(component);
        CDiagnosticLog log;
        log.m_Flags[LogSteps] = 1;  // kept: the settings are not read
        SetText("MorvaCalc", "Steps", "OFF");
        log.Initialize(nullptr, component, u"", u"");
        EXPECT_EQ(log.ComponentName(), u"");
        EXPECT_TRUE(log.IsOn(LogSteps));
        EXPECT_EQ(log.LogSize(), 1u);
    }
}

TEST_F(LogSettingsTest, LogSizeIsTakenOnlyFromADword) {
    struct Case {
        const char* name;
        DWORD type;
        std::string data;
        uint32_t logSize;
    };
    const Case cases[] = {
        {"dword", REG_DWORD, std::string("\x05\0\0\0", 4), 5},
        {"zero", REG_DWORD, std::string("\0\0\0\0", 4), 0},
        {"largest", REG_DWORD, "\xFF\xFF\xFF\xFF", 0xFFFFFFFFu},
        {"text", REG_SZ, std::string("5", 2), 1},
        {"binary", REG_BINARY, std::string("\x05\0\0\0", 4), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetValue("MorvaCalc", "LogSize", c.type, c.data.data(), static_cast<DWORD>(c.data.size()));
        CDiagnosticLog log;
        InitializeModuleLog(log);
        EXPECT_EQ(log.LogSize(), c.logSize);
    }
}

TEST(LogHResultText, NamesCommonCodesAndFallsBackToSystemTextOrNumber) {
    struct Case {
        HRESULT hr;
        std::u16string text;
    };
    const Case cases[] = {
        {S_OK, u"S_OK"},
        {S_FALSE, u"S_FALSE"},
        {E_INVALIDARG, u"E_INVALIDARG"},
        {E_OUTOFMEMORY, u"E_OUTOFMEMORY"},
        {E_POINTER, u"E_POINTER"},
        {E_FAIL, u"E_FAIL"},
        {E_UNEXPECTED, u"E_UNEXPECTED"},
        {MV_HR(0x8004D7E3), u"-2147166237"},  // unknown failure: signed decimal
        {MV_HR(0x0004D7E3), u"317411"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hr);
        EXPECT_EQ(CDiagnosticLog::HResultText(c.hr), c.text);
        BSTR text = SysAllocString(u"old text, freed");
        CDiagnosticLog::HResultToText(c.hr, &text);
        EXPECT_EQ(std::u16string(text, SysStringLen(text)), c.text);
        SysFreeString(text);
    }
    CDiagnosticLog::HResultToText(S_OK, nullptr);
}

TEST(LogHResultText, SystemTextLosesOnlyItsClosingCrLf) {
    for (HRESULT hr : {E_NOTIMPL, E_ACCESSDENIED, MV_HR(5)}) {
        SCOPED_TRACE(hr);
        std::string system = mv::SystemMessageText(static_cast<DWORD>(hr));
        ASSERT_GE(system.size(), 2u);
        ASSERT_EQ(system.substr(system.size() - 2), "\r\n");
        EXPECT_EQ(mv::ToUtf8(CDiagnosticLog::HResultText(hr)), system.substr(0, system.size() - 2));
    }
}

}  // namespace
