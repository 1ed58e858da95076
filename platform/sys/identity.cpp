// User, computer and account names.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <forward_list>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "sys.h"
#include "sys/last_error_guard.h"

namespace {

// Every name here lives as long as the process, in storage shared by all
// threads: a thread keeps no more than a plain pointer to one. A per-thread
// object with a destructor would be registered with the C library on the
// thread's first call, and when memory has run out that registration ends
// the process; the diagnostic log asks for the name on every line.

// The calling thread's override (null: none), pointing into the list of
// override names below.
thread_local const std::string* t_userOverride = nullptr;

// The name looked up for one effective user. The list only grows and its
// entries are never freed, so it is read without a lock.
struct KnownUser {
    uid_t uid;
    std::string name;
    const KnownUser* next;
};
std::atomic<const KnownUser*> g_knownUsers{nullptr};
std::mutex g_lookupLock;  // one look-up at a time, so each user is looked up once
std::atomic<uint64_t> g_userLookups{0};
// The effective user whose name was looked up last, found or not; -1: none.
std::atomic<int64_t> g_lastLookedUp{-1};

const KnownUser* FindKnownUser(uid_t uid) noexcept {
    for (const KnownUser* known = g_knownUsers.load(std::memory_order_acquire); known;
         known = known->next)
        if (known->uid == uid) return known;
    return nullptr;
}

// The effective user's login name; the numeric id when it has no entry.
// Looked up once for each effective user the process runs as; with
// `retry` false, a user whose look-up failed is not looked up again until
// the effective user changes. Null, with the last error
// ERROR_NOT_ENOUGH_MEMORY, when memory runs out.
const std::string* ProcessUserName(bool retry = true) noexcept {
    const uid_t uid = geteuid();
    if (const KnownUser* known = FindKnownUser(uid)) return &known->name;
    try {
        std::lock_guard<std::mutex> lock(g_lookupLock);
        if (const KnownUser* known = FindKnownUser(uid)) return &known->name;
        if (!retry && g_lastLookedUp.load() == static_cast<int64_t>(uid)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        g_lastLookedUp.store(uid);
        g_userLookups.fetch_add(1, std::memory_order_relaxed);
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
        std::string name =
            found && found->pw_name && found->pw_name[0] ? found->pw_name : std::to_string(uid);
        auto* known = new KnownUser{uid, std::move(name), g_knownUsers.load()};
        g_knownUsers.store(known, std::memory_order_release);
        return &known->name;
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

// The calling thread's user name: its override, else the process's; null
// as ProcessUserName gives it.
const std::string* ThreadUserName() noexcept {
    return t_userOverride ? t_userOverride : ProcessUserName();
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
BOOL CopyOut(std::basic_string_view<Char> text, Char* buffer, LPDWORD size,
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
    std::memcpy(buffer, text.data(), text.size() * sizeof(Char));
    buffer[text.size()] = Char();
    *size = withTerminatorOnSuccess ? needed : needed - 1;
    return TRUE;
}

}  // namespace

extern "C" {

BOOL GetUserNameA(LPSTR buffer, LPDWORD size) {
    const std::string* name = ThreadUserName();
    if (!name) return FALSE;
    return CopyOut<char>(*name, buffer, size, true, ERROR_INSUFFICIENT_BUFFER);
}

BOOL GetUserNameW(LPWSTR buffer, LPDWORD size) {
    const std::string* name = ThreadUserName();
    if (!name) return FALSE;
    return mv::CallGuardedLastError(FALSE, [&] {
        return CopyOut<char16_t>(mv::ToUtf16(*name), buffer, size, true, ERROR_INSUFFICIENT_BUFFER);
    });
}

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size) {
    return mv::CallGuardedLastError(FALSE, [&] {
        std::string name;
        if (!ComputerName(&name)) return FALSE;
        return CopyOut<char>(name, buffer, size, false, ERROR_BUFFER_OVERFLOW);
    });
}

BOOL GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    return mv::CallGuardedLastError(FALSE, [&] {
        std::string name;
        if (!ComputerName(&name)) return FALSE;
        return CopyOut<char16_t>(mv::ToUtf16(name), buffer, size, false, ERROR_BUFFER_OVERFLOW);
    });
}

}  // extern "C"

namespace mv {

void SetThreadUserNameForTesting(const char* name) {
    if (!name) {
        t_userOverride = nullptr;
        return;
    }
    // Each name is kept once, for the life of the process.
    static auto* const names = new std::forward_list<std::string>;
    std::lock_guard<std::mutex> lock(g_lookupLock);
    auto kept = std::find(names->begin(), names->end(), name);
    t_userOverride = kept != names->end() ? &*kept : &names->emplace_front(name);
}

void LookUpUserName() noexcept {
    ProcessUserName();
}

const std::string* UserNameWithoutLookUp() noexcept {
    return t_userOverride ? t_userOverride : ProcessUserName(false);
}

uint64_t UserNameLookupsForTesting() {
    return g_userLookups.load(std::memory_order_relaxed);
}

bool GetThreadAccount(std::string* account, std::string* domain) {
    if (!account || !domain) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string* user = ThreadUserName();
    std::string computer;
    if (!user || !ComputerName(&computer)) return false;
    if (user->empty()) {
        SetLastError(ERROR_NONE_MAPPED);
        return false;
    }
    *account = *user;
    *domain = std::move(computer);
    return true;
}

}  // namespace mv
