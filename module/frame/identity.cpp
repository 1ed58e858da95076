// The calling thread's account and domain.
#include "frame/identity.h"

#include <string>

#include "frame/trace.h"
#include "sys.h"

namespace {

constexpr const char* kErrorText = "Temp_GetUserInfo_NTDomainAndUserName";

void LogFailure(HRESULT codeText, const char16_t* step) noexcept {
    MvLogErrorHr(kErrorText, codeText);
    MvLogError(kErrorText, step);
}

}  // namespace

bool GetUserInfo_NTDomainAndUserName(BSTR* accountName, BSTR* domainName) {
    try {
        std::string account;
        std::string domain;
        if (!mv::GetThreadAccount(&account, &domain)) {
            LogFailure(static_cast<HRESULT>(GetLastError()),
                       u"GetUserInfo_NTDomainAndUserName - Failed to lookup account security "
                       u"identifier");
            return false;
        }
        mv::Bstr newAccount(account);
        mv::Bstr newDomain(domain);
        if (!newAccount.get() || !newDomain.get()) throw std::bad_alloc();
        if (accountName) {
            SysFreeString(*accountName);
            *accountName = newAccount.Detach();
        }
        if (domainName) {
            SysFreeString(*domainName);
            *domainName = newDomain.Detach();
        }
        return true;
    } catch (...) {
        LogFailure(E_UNEXPECTED, u"GetUserInfo_NTDomainAndUserName - Exception caught");
        return false;
    }
}
