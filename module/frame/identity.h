// The account under which the calling thread runs.
#pragma once

#include "oleaut.h"

// The calling thread's account name and its domain (the host's computer
// name); an impersonating thread reports its client. On success both BSTRs
// are freed and replaced and the result is true; on failure neither is
// touched, two error lines are logged and the result is false.
bool GetUserInfo_NTDomainAndUserName(BSTR* accountName, BSTR* domainName);
