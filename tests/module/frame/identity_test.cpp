// The calling thread's account and domain.
#include "frame/identity.h"

#include <string>

#include "log_test_support.h"

namespace {

class IdentityTest : public logtest::LogFixture {};

std::string ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof name;
    EXPECT_TRUE(GetComputerNameA(name, &size));
    return name;
}

TEST_F(IdentityTest, ReportsTheThreadsAccountAndTheComputerAsDomain) {
    for (const char* user : {"alice", "client"}) {
        SCOPED_TRACE(user);
        mv::SetThreadUserNameForTesting(user);
        BSTR account = SysAllocString(u"old account");
        BSTR domain = nullptr;
        EXPECT_TRUE(GetUserInfo_NTDomainAndUserName(&account, &domain));
        EXPECT_EQ(mv::ToUtf8(account), user);
        EXPECT_EQ(mv::ToUtf8(domain), ComputerName());
        SysFreeString(account);
        SysFreeString(domain);
    }
}

TEST_F(IdentityTest, FailureLeavesOutputsAndLogsTwoLines) {
    CDiagnosticLog& log = g_DiagnosticLog;
    log.Initialize(nullptr, LogComponentMorvaCalc, u"", u"17.0.0.266");
    // A thread whose account cannot be looked up; its log file is then
    // named for "UnknownUser".
    mv::SetThreadUserNameForTesting("");
    BSTR account = SysAllocString(u"kept");
    BSTR domain = SysAllocString(u"kept too");
    EXPECT_FALSE(GetUserInfo_NTDomainAndUserName(&account, &domain));
    EXPECT_EQ(mv::ToUtf8(account), "kept");
    EXPECT_EQ(mv::ToUtf8(domain), "kept too");
    SysFreeString(account);
    SysFreeString(domain);

    const std::string file = DefaultFile("UnknownUser");
    const std::string prefix = logtest::LinePrefix() + "Temp_GetUserInfo_NTDomainAndUserName: ";
    const std::string code = mv::ToUtf8(CDiagnosticLog::HResultText(ERROR_NONE_MAPPED));
    EXPECT_EQ(logtest::ReadText(file),
              prefix + code + "\n" + prefix +
                  "GetUserInfo_NTDomainAndUserName - Failed to lookup account security "
                  "identifier\n");
}

}  // namespace
