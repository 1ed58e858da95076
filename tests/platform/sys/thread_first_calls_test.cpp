// A new thread's first calls when memory runs out part-way through them:
// each allocation of the call fails in turn, and the call fails with its
// code instead of ending the process or throwing.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include "../../support/failing_new.h"
#include "../script/script_test_support.h"
#include "com.h"
#include "oleaut.h"
#include "sys.h"

// A thread-exit destructor registered with the C library takes memory; when
// there is none, the C library ends the process. The registration here
// takes its memory through operator new, so that it fails where the test
// makes allocations fail.
extern "C" int __cxa_thread_atexit_impl(void (*destructor)(void*), void* object, void* dso) {
    try {
        ::operator delete(::operator new(32));
    } catch (const std::bad_alloc&) {
        std::fputs("Fatal glibc error: failed to register TLS destructor: out of memory\n", stderr);
        std::abort();
    }
    using Register = int (*)(void (*)(void*), void*, void*);
    static const auto next =
        reinterpret_cast<Register>(dlsym(RTLD_NEXT, "__cxa_thread_atexit_impl"));
    return next(destructor, object, dso);
}

namespace {

namespace fs = std::filesystem;

// A first call on a fresh thread: null when it succeeded or failed as it
// may when memory runs out, else what went wrong (a text that takes no
// allocation to return).
struct Case {
    const char* name;
    std::function<const char*()> firstCall;
};

// As a method does when asked for a parameter it does not have: the error
// is kept whole, or not at all.
const char* ErrorRaised() {
    const HRESULT hr = mv::ReportError(u"Test.Object", IID_IUnknown, u"no such parameter", E_FAIL);
    if (hr != E_FAIL) return "ReportError changed the code";
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK) return nullptr;
    BSTR text = nullptr;
    const HRESULT got = info->GetDescription(&text);
    info->Release();
    const bool whole = got == E_OUTOFMEMORY ||
                       (got == S_OK && text && std::u16string_view(text) == u"no such parameter");
    SysFreeString(text);
    return whole ? nullptr : "an error without its description is kept";
}

const char* SlotSet(DWORD slot) {
    int value = 0;
    SetLastError(0);
    if (!TlsSetValue(slot, &value))
        return GetLastError() == static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)
                   ? nullptr
                   : "TlsSetValue failed with another error";
    return TlsGetValue(slot) == &value ? nullptr : "the value is not kept";
}

const char* Loaded(const char* name, DWORD failure) {
    SetLastError(0);
    HMODULE module = LoadLibraryA(name);
    if (!module) {
        const DWORD error = GetLastError();
        return error == static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) || error == failure
                   ? nullptr
                   : "LoadLibraryA failed with another error";
    }
    FreeLibrary(module);
    return failure == 0 ? nullptr : "a missing library loaded";
}

// A code that is either the call's own or its out-of-memory code.
const char* Either(long code, long ok, long outOfMemory, const char* wrong) {
    return code == ok || code == outOfMemory ? nullptr : wrong;
}

const char* RegistryUsed() {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\FirstCalls", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) return Either(rc, ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY, "create");
    const BYTE data[] = "value";
    rc = RegSetValueExA(key, "Name", 0, REG_SZ, data, sizeof data);
    const char* wrong = Either(rc, ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY, "set");
    DWORD size = 0;
    if (rc == ERROR_SUCCESS) {
        rc = RegQueryValueExA(key, "Name", nullptr, nullptr, nullptr, &size);
        wrong = Either(rc, ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY, "query");
    }
    rc = RegCloseKey(key);
    return wrong ? wrong : Either(rc, ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY, "close");
}

const char* NumbersConverted() {
    BSTR text = nullptr;
    const char* wrong = Either(VarBstrFromR8(1.5, 0, 0, &text), S_OK, E_OUTOFMEMORY, "to text");
    if (!text) return wrong;
    mv::Variant from, to;
    from.vt = VT_BSTR;
    from.bstrVal = text;
    if (!wrong)
        wrong = Either(VariantChangeType(&to, &from, 0, VT_R8), S_OK, E_OUTOFMEMORY, "from text");
    return wrong;
}

const char* ClassLookedUp() {
    CLSID clsid{};
    return Either(CLSIDFromProgID(u"No.Such.Class", &clsid), CO_E_CLASSSTRING, E_OUTOFMEMORY,
                  "CLSIDFromProgID");
}

const char* MessageFormatted() {
    char text[256];
    SetLastError(0);
    if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, text,
                       sizeof text, nullptr) != 0)
        return nullptr;
    return Either(GetLastError(), ERROR_SUCCESS, ERROR_NOT_ENOUGH_MEMORY, "FormatMessageA");
}

// The thread's first script statement, which reads how far its stack may
// grow.
const char* StatementRun() {
    mv::ComPtr<IActiveScript> engine;
    HRESULT hr = CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                  engine.PutVoid());
    QuietSite site;
    mv::ComPtr<IActiveScriptParse> parse;
    if (SUCCEEDED(hr)) hr = engine->SetScriptSite(&site);
    if (SUCCEEDED(hr)) hr = engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid());
    if (SUCCEEDED(hr)) hr = parse->InitNew();
    if (SUCCEEDED(hr))
        hr = parse->ParseScriptText(u"x = 1", nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr);
    if (SUCCEEDED(hr)) hr = engine->SetScriptState(SCRIPTSTATE_CONNECTED);
    if (engine) engine->Close();
    if (const char* wrong = Either(hr, S_OK, E_OUTOFMEMORY, "the run failed otherwise"))
        return wrong;
    return site.raised == S_OK ||
                   site.raised == mv::script::ErrorScode(mv::script::kErrorOutOfMemory)
               ? nullptr
               : "the statement raised another error";
}

// Runs the first call on a new thread with its k-th allocation failing,
// for k = 1, 2, ... until the call makes fewer than k. Returns what went
// wrong, "" when nothing did.
std::string Sweep(const Case& c, mv_test::Allocator allocator) {
    for (std::size_t k = 1; k < 10000; ++k) {
        const char* wrong = nullptr;
        std::size_t made = 0;
        std::thread([&] {
            try {
                mv_test::FailingNthNew fail(k, allocator);
                wrong = c.firstCall();
                made = mv_test::CountedNews();
            } catch (const std::bad_alloc&) {
                wrong = "std::bad_alloc thrown";
            }
        }).join();
        if (wrong) return "at k = " + std::to_string(k) + ": " + wrong;
        if (made < k) return "";
    }
    return "no end";
}

TEST(ThreadFirstCalls, RunningOutOfMemoryIsAFailureCodeNeverAProcessEnd) {
    const fs::path libDir = fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "lib";
    ::setenv("MORVA_DLL_PATH", libDir.c_str(), 1);
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    const Case cases[] = {
        {"an error raised", ErrorRaised},
        {"a slot set", [slot] { return SlotSet(slot); }},
        {"a library loaded", [] { return Loaded("mvtest_plain.dll", 0); }},
        {"a missing library", [] { return Loaded("mvtest_missing.dll", ERROR_MOD_NOT_FOUND); }},
        {"a registry key used", RegistryUsed},
        {"a number converted to text and back", NumbersConverted},
        {"a class looked up by its ProgID", ClassLookedUp},
        {"a system message formatted", MessageFormatted},
        {"a script statement run", StatementRun},
    };
    mv::RegistryUseMemoryStore(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // In a child process, as a process end is what is looked for.
        int report[2];
        ASSERT_EQ(::pipe(report), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string wrong = Sweep(c, mv_test::Allocator::New);
            if (wrong.empty() && mv_test::CanFailCAllocator())
                if (wrong = Sweep(c, mv_test::Allocator::C); !wrong.empty())
                    wrong = "C allocator " + wrong;
            (void)!::write(report[1], wrong.data(), wrong.size());
            ::_exit(wrong.empty() ? 0 : 1);
        }
        ::close(report[1]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        std::string wrong(256, '\0');
        wrong.resize(std::max<ssize_t>(0, ::read(report[0], wrong.data(), wrong.size())));
        ::close(report[0]);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (WIFSIGNALED(status) ? "ended by signal " + std::to_string(WTERMSIG(status))
                                    : wrong);
    }
    mv::RegistryUseMemoryStore(false);
    TlsFree(slot);
    ::unsetenv("MORVA_DLL_PATH");
}

}  // namespace
