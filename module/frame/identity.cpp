// The calling thread's account and domain.
#include "frame/identity.h"

bool GetUserInfo_NTDomainAndUserName(BSTR*, BSTR*) {
    return false;
}
