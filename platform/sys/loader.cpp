// Library loading with load counts and DllMain notifications over dlopen.
#include <dirent.h>
#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "sys.h"
#include "sys/last_error_guard.h"
#include "sys/thread_exit.h"

namespace {

using DllMainFn = BOOL (*)(HINSTANCE, DWORD, LPVOID);

struct Library {
    void* dl = nullptr;
    int count = 0;
    DllMainFn main = nullptr;
};

struct State {
    // Recursive: a DllMain may load or free other libraries.
    std::recursive_mutex m;
    std::map<void*, Library*> libraries;
    // One slot per registered exit handler, in registration order; a slot is
    // emptied when its library is freed before the process ends.
    std::vector<Library*> exitSlots;
};

// Never destroyed: the exit handlers use it after static destruction began.
State& S() {
    static State* s = new State;
    return *s;
}

thread_local DWORD t_lastError = 0;

// The text of the calling thread's last failed load, made at its first
// failed load; a text that cannot be kept for lack of memory is lost.
struct LoaderErrorTag;
using LoaderError = mv::ThreadOwned<std::string, LoaderErrorTag>;

void KeepLoaderError(std::string text) noexcept {
    if (std::string* kept = LoaderError::Get()) kept->swap(text);
}

// Whether the symbol at `address` is defined by the object `dl` itself (dlsym
// also finds symbols of the object's dependencies).
bool DefinedBy(void* dl, void* address) {
    link_map* own = nullptr;
    if (dlinfo(dl, RTLD_DI_LINKMAP, &own) != 0 || !own) return false;
    Dl_info info;
    link_map* where = nullptr;
    if (!dladdr1(address, &info, reinterpret_cast<void**>(&where), RTLD_DL_LINKMAP)) return false;
    return where == own;
}

void* OwnSymbol(void* dl, const char* name) {
    void* p = dlsym(dl, name);
    return p && DefinedBy(dl, p) ? p : nullptr;
}

// Runs at process end, once per attach, last attach first.
void DetachAtExit() {
    State& s = S();
    std::lock_guard lock(s.m);
    if (s.exitSlots.empty()) return;
    Library* lib = s.exitSlots.back();
    s.exitSlots.pop_back();
    if (lib && lib->main) {
        DllMainFn main = lib->main;
        lib->main = nullptr;  // detached; a later FreeLibrary must not repeat it
        main(lib->dl, DLL_PROCESS_DETACH, nullptr);
    }
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() &&
           mv::EqualsNoCase(s.substr(s.size() - suffix.size()), suffix);
}

// The file in `dir` whose name equals `name` ignoring ASCII case (an exact
// match first); empty when there is none.
std::string FindNoCase(const std::string& dir, const std::string& name) {
    std::string exact = dir + "/" + name;
    if (::access(exact.c_str(), F_OK) == 0) return exact;
    std::string found;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (mv::EqualsNoCase(e->d_name, name)) {
                found = dir + "/" + e->d_name;
                break;
            }
        }
        ::closedir(d);
    }
    return found;
}

// What to hand to dlopen, in order. A name stored with a Windows path
// ("C:\Formulas\flow.dll") is looked up by its last component.
std::vector<std::string> Candidates(std::string name) {
    if (name.find('\\') != std::string::npos) name = name.substr(name.find_last_of("\\/") + 1);
    if (name.find('/') != std::string::npos || !EndsWithNoCase(name, ".dll")) return {name};
    std::string soName = "lib" + name.substr(0, name.size() - 4) + ".so";
    std::vector<std::string> out;
    const char* path = std::getenv("MORVA_DLL_PATH");
    std::string_view rest = path ? path : "";
    while (!rest.empty()) {
        size_t colon = rest.find(':');
        std::string dir(rest.substr(0, colon));
        rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        if (dir.empty()) continue;
        for (const auto& file : {name, soName}) {
            std::string f = FindNoCase(dir, file);
            if (!f.empty()) out.push_back(f);
        }
    }
    out.push_back(name);
    out.push_back(soName);
    return out;
}

HMODULE Load(const std::string& name) {
    State& s = S();
    std::lock_guard lock(s.m);
    void* dl = nullptr;
    std::string errors;
    // A candidate the loader could not open for lack of memory may be the
    // library: the load then fails for that, not for a library not found.
    bool outOfMemory = false;
    for (const auto& candidate : Candidates(name)) {
        errno = 0;
        dl = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (dl) break;
        if (errno == ENOMEM) outOfMemory = true;
        if (const char* e = dlerror()) errors += (errors.empty() ? "" : "; ") + std::string(e);
    }
    if (!dl) {
        KeepLoaderError(std::move(errors));
        SetLastError(outOfMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    auto it = s.libraries.find(dl);
    if (it != s.libraries.end()) {
        dlclose(dl);  // keep one dlopen reference per library
        ++it->second->count;
        return dl;
    }
    // Everything the load keeps is had before the library is told it is
    // attached, so that running out of memory leaves nothing behind.
    auto* lib =
        new (std::nothrow) Library{dl, 1, reinterpret_cast<DllMainFn>(OwnSymbol(dl, "DllMain"))};
    try {
        if (!lib) throw std::bad_alloc();
        s.libraries[dl] = lib;
        if (lib->main) s.exitSlots.reserve(s.exitSlots.size() + 1);
    } catch (const std::bad_alloc&) {
        if (lib) s.libraries.erase(dl);
        delete lib;
        dlclose(dl);
        throw;
    }
    if (lib->main) {
        if (!lib->main(dl, DLL_PROCESS_ATTACH, nullptr)) {
            lib->main(dl, DLL_PROCESS_DETACH, nullptr);
            s.libraries.erase(dl);
            delete lib;
            dlclose(dl);
            KeepLoaderError(name + ": DllMain refused to attach");
            SetLastError(ERROR_DLL_INIT_FAILED);
            return nullptr;
        }
        s.exitSlots.push_back(lib);
        std::atexit(DetachAtExit);
    }
    return dl;
}

std::string FileOfLinkMap(const link_map* lm) {
    if (!lm || !lm->l_name || !*lm->l_name) {
        char buf[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    char buf[PATH_MAX];
    if (::realpath(lm->l_name, buf)) return buf;
    return lm->l_name;
}

std::string ModuleFile(HMODULE h) {
    if (!h) return FileOfLinkMap(nullptr);
    State& s = S();
    std::lock_guard lock(s.m);
    if (!s.libraries.count(h)) return {};
    link_map* lm = nullptr;
    if (dlinfo(h, RTLD_DI_LINKMAP, &lm) != 0) return {};
    return FileOfLinkMap(lm);
}

template <typename Char>
DWORD CopyFileName(HMODULE h, Char* buf, DWORD size) {
    std::string file = ModuleFile(h);
    if (file.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!buf || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::basic_string<Char> text;
    if constexpr (sizeof(Char) == 1) {
        text = file;
    } else {
        text = mv::ToUtf16(file);
    }
    if (text.size() + 1 > size) {
        std::copy(text.begin(), text.begin() + (size - 1), buf);
        buf[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::copy(text.begin(), text.end(), buf);
    buf[text.size()] = 0;
    return static_cast<DWORD>(text.size());
}

}  // namespace

extern "C" {

HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return mv::CallGuardedLastError(HMODULE(), [&] { return Load(lpLibFileName); });
}

HMODULE LoadLibraryW(LPCWSTR lpLibFileName) {
    if (!lpLibFileName || !*lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return mv::CallGuardedLastError(HMODULE(), [&] { return Load(mv::ToUtf8(lpLibFileName)); });
}

FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (!hModule || !s.libraries.count(hModule)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* p = lpProcName ? OwnSymbol(hModule, lpProcName) : nullptr;
    if (!p) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(p);
}

BOOL FreeLibrary(HMODULE hLibModule) {
    State& s = S();
    std::lock_guard lock(s.m);
    auto it = s.libraries.find(hLibModule);
    if (!hLibModule || it == s.libraries.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Library* lib = it->second;
    if (--lib->count > 0) return TRUE;
    if (lib->main) lib->main(lib->dl, DLL_PROCESS_DETACH, nullptr);
    for (auto& slot : s.exitSlots)
        if (slot == lib) slot = nullptr;
    s.libraries.erase(it);
    dlclose(lib->dl);
    delete lib;
    return TRUE;
}

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
    return mv::CallGuardedLastError(DWORD(0),
                                    [&] { return CopyFileName(hModule, lpFilename, nSize); });
}

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    return mv::CallGuardedLastError(DWORD(0),
                                    [&] { return CopyFileName(hModule, lpFilename, nSize); });
}

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

}  // extern "C"

namespace mv {

std::string ModuleFileOfAddress(const void* address) {
    Dl_info info;
    link_map* lm = nullptr;
    if (!address || !dladdr1(address, &info, reinterpret_cast<void**>(&lm), RTLD_DL_LINKMAP) || !lm)
        return {};
    return FileOfLinkMap(lm);
}

std::string LoaderErrorText() {
    const std::string* text = LoaderError::Find();
    return text ? *text : std::string();
}

}  // namespace mv
