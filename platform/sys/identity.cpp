// User, computer and account names.
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "sys.h"

namespace {

thread_local std::optional<std::string> t_userOverride;

// The effective user's login name; the numeric id when it has no entry.
// Looked up once for each effective user a thread runs as.
bool ProcessUserName(std::string* out) {
    thread_local std::optional<std::pair<uid_t, std::string>> t_known;
    const uid_t uid = geteuid();
    if (t_known && t_known->first == uid) {
        *out = t_known->second;
        return true;
    }
    std::vector<char> buffer(1024);
    passwd entry{};
    passwd* found = nullptr;
    for (;;) {
        int rc = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        break;
    }
    if (found && found->pw_name && found->pw_name[0]) {
        *out = found->pw_name;
    } else {
        *out = std::to_string(uid);
    }
    t_known.emplace(uid, *out);
    return true;
}

bool ThreadUserName(std::string* out) {
    if (t_userOverride) {
        *out = *t_userOverride;
        return true;
    }
    return ProcessUserName(out);
}

bool ComputerName(std::string* out) {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    std::string name(host);
    name = name.substr(0, name.find('.'));
    if (name.size() > MAX_COMPUTERNAME_LENGTH) name.resize(MAX_COMPUTERNAME_LENGTH);
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    *out = name;
    return true;
}

// Copies text into a caller's buffer. withTerminatorOnSuccess tells whether
// the reported size counts the terminator on success, as the user-name
// calls do and the computer-name calls do not.
template <typename Char>
BOOL CopyOut(const std::basic_string<Char>& text, Char* buffer, LPDWORD size,
             bool withTerminatorOnSuccess, DWORD shortBufferError) {
    if (!size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD needed = static_cast<DWORD>(text.size() + 1);
    if (!buffer || *size < needed) {
        *size = needed;
        SetLastError(shortBufferError);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), needed * sizeof(Char));
    *size = withTerminatorOnSuccess ? needed : needed - 1;
    return TRUE;
}

}  // namespace

extern "C" {

BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
    std::string name;
    if (!ThreadUserName(&name)) return FALSE;
    return CopyOut(name, buffer, size, true, ERROR_INSUFFICIENT_BUFFER);
}

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) {
    std::string name;
    if (!ThreadUserName(&name)) return FALSE;
    return CopyOut(mv::ToUtf16(name), buffer, size, true, ERROR_INSUFFICIENT_BUFFER);
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
    std::string name;
    if (!ComputerName(&name)) return FALSE;
    return CopyOut(name, buffer, size, false, ERROR_BUFFER_OVERFLOW);
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    std::string name;
    if (!ComputerName(&name)) return FALSE;
    return CopyOut(mv::ToUtf16(name), buffer, size, false, ERROR_BUFFER_OVERFLOW);
}

}  // extern "C"

namespace mv {

void SetThreadUserNameForTesting(const char* name) {
    if (name) {
        t_userOverride = name;
    } else {
        t_userOverride.reset();
    }
}

bool GetThreadAccount(std::string* account, std::string* domain) {
    if (!account || !domain) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string user, computer;
    if (!ThreadUserName(&user) || !ComputerName(&computer)) return false;
    if (user.empty()) {
        SetLastError(ERROR_NONE_MAPPED);
        return false;
    }
    *account = std::move(user);
    *domain = std::move(computer);
    return true;
}

}  // namespace mv
