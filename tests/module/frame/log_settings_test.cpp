// The log's settings from the registry store and the texts of HRESULTs.
#include "log_test_support.h"

namespace {

class LogSettingsTest : public logtest::LogFixture {};

TEST_F(LogSettingsTest, CategoryIsOnOnlyWhenItsValueReadsOnIgnoringCase) {
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
        bool on;
    };
    const Case cases[] = {
        {"lower case", REG_SZ, std::string("on", 3), true},
        {"mixed case", REG_SZ, std::string("On", 3), true},
        {"trailing blank", REG_SZ, std::string("ON ", 4), false},
        {"number", REG_SZ, std::string("1", 2), false},
        {"empty", REG_SZ, std::string("", 1), false},
        {"any type is read as text", REG_BINARY, "ON", true},
        {"a dword", REG_DWORD, Dword(1), false},
        {"100 bytes without a terminator", REG_BINARY, std::string(100, 'x'), false},
        {"longer than 100 bytes", REG_BINARY, "ON" + std::string(100, '\0'), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetValue("MorvaCalc", "Steps", c.type, c.bytes);
        CDiagnosticLog log;
        InitializeModuleLog(log);
        EXPECT_EQ(log.IsOn(LogSteps), c.on);
    }
}

TEST_F(LogSettingsTest, EachCategoryReadsTheValueOfItsNameAndErrorsStayOn) {
    const char* names[kLogCategoryCount] = {"Errors", "Methods",    "Calls", "InParams", "Results",
                                            "Steps",  "Validation", nullptr, "Security"};
    for (int category = 0; category < kLogCategoryCount; ++category) {
        if (!names[category]) continue;
        SCOPED_TRACE(names[category]);
        mv::RegistryUseMemoryStore(true);
        SetValue("MorvaCalc", "Errors", REG_SZ, std::string("OFF", 4));
        SetValue("MorvaCalc", names[category], REG_SZ, std::string("ON", 3));
        CDiagnosticLog log;
        InitializeModuleLog(log);
        for (int i = 0; i < kLogCategoryCount; ++i)
            EXPECT_EQ(log.m_Flags[i], i == category || i == LogErrors) << i;
    }
}

TEST_F(LogSettingsTest, ComponentIndexChoosesTheKeyAndOutOfRangeReadsNothing) {
    SetValue("MvHistory", "Methods", REG_SZ, std::string("ON", 3));
    SetValue("MvHistory", "LogSize", REG_DWORD, Dword(7));
    struct Case {
        int component;
        bool methods;
        uint32_t logSize;
        std::u16string name;
    };
    const Case cases[] = {{LogComponentMorvaCalc, false, 1, u"MorvaCalc"},
                          {LogComponentHistory, true, 7, u"MvHistory"},
                          {4, true, 1, u""},  // the flag set before Initialize is kept
                          {-1, true, 1, u""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.component);
        CDiagnosticLog log;
        log.m_Flags[LogMethods] = 1;
        log.Initialize(nullptr, c.component, u"", u"");
        EXPECT_EQ(log.IsOn(LogMethods), c.methods);
        EXPECT_EQ(log.LogSize(), c.logSize);
        EXPECT_EQ(log.ComponentName(), c.name);
    }
}

TEST_F(LogSettingsTest, LogSizeIsTakenOnlyFromADword) {
    struct Case {
        const char* name;
        DWORD type;
        std::string bytes;
        uint32_t logSize;
    };
    const Case cases[] = {
        {"dword", REG_DWORD, Dword(5), 5},
        {"text", REG_SZ, std::string("5", 2), 1},
        {"binary", REG_BINARY, Dword(5), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetValue("MorvaCalc", "LogSize", c.type, c.bytes);
        CDiagnosticLog log;
        InitializeModuleLog(log);
        EXPECT_EQ(log.LogSize(), c.logSize);
    }
}

std::u16string SystemText(HRESULT hr) {
    const std::string text = mv::SystemMessageText(static_cast<DWORD>(hr));
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    return mv::ToUtf16(text.substr(0, text.size() - 2));
}

TEST(LogHResultText, NamesCommonCodesElseSystemTextElseSignedNumber) {
    const struct {
        HRESULT hr;
        std::u16string text;
    } cases[] = {
        {S_OK, u"S_OK"},
        {S_FALSE, u"S_FALSE"},
        {E_INVALIDARG, u"E_INVALIDARG"},
        {E_OUTOFMEMORY, u"E_OUTOFMEMORY"},
        {E_POINTER, u"E_POINTER"},
        {E_FAIL, u"E_FAIL"},
        {E_UNEXPECTED, u"E_UNEXPECTED"},
        {E_NOTIMPL, SystemText(E_NOTIMPL)},  // without its closing CR LF
        {MV_HR(5), SystemText(MV_HR(5))},
        {MV_HR(0x8004D7E3), u"-2147166237"},
        {MV_HR(0x0004D7E3), u"317411"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hr);
        BSTR text = SysAllocString(u"old text, freed");
        CDiagnosticLog::HResultToText(c.hr, &text);
        EXPECT_EQ(std::u16string(text, SysStringLen(text)), c.text);
        SysFreeString(text);
    }
    CDiagnosticLog::HResultToText(S_OK, nullptr);
}

}  // namespace
