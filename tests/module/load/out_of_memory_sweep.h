// The out-of-memory sweep's frame: a scenario runs one call with the k-th
// allocation request failing, for every k of a small scenario and a spread
// of them for a large one, once with operator new failing and once with the
// C allocator failing (where the build can make it fail). Each area of the
// module gives its own rows.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "../../support/failing_new.h"
#include "com.h"
#include "comobj.h"
#include "oleaut.h"

namespace oomtest {

// The request the window of the running scenario fails (0: none), the
// allocator it fails, and what the window saw.
inline size_t g_failAt = 0;
inline mv_test::Allocator g_allocator = mv_test::Allocator::New;
inline size_t g_counted = 0;
inline bool g_escaped = false;

// Calls an entry point with the k-th request failing; with `staying`, every
// request from the k-th on fails (memory stays short).
inline HRESULT InWindow(const std::function<HRESULT()>& call, bool staying = false) {
    HRESULT hr = E_FAIL;
    {
        mv_test::FailingNthNew failing(g_failAt, g_allocator, staying);
        try {
            hr = call();
        } catch (...) {
            g_escaped = true;
        }
        g_counted = mv_test::CountedNews();
    }
    return hr;
}

// What a failure-injected call must answer: no exception, and a failure
// only where an allocation failed.
inline std::string Answered(HRESULT hr) {
    if (g_escaped) return "an exception left the entry point";
    const bool failed = g_failAt != 0 && g_counted >= g_failAt;
    if (FAILED(hr) && !failed) return "failed with nothing failing: " + std::to_string(hr);
    return "";
}

inline mv::ComPtr<IUnknown> New(const char16_t* progId) {
    CLSID clsid{};
    mv::ComPtr<IUnknown> object;
    if (SUCCEEDED(CLSIDFromProgID(progId, &clsid)))
        CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.PutVoid());
    return object;
}

template <class I>
mv::ComPtr<I> As(IUnknown* object) {
    mv::ComPtr<I> itf;
    if (object) object->QueryInterface(mv::IidOf<I>::value, itf.PutVoid());
    return itf;
}

struct Scenario {
    std::string name;
    // Runs the scenario once with g_failAt's request failing; empty when
    // everything held, else what did not.
    std::function<std::string()> run;
};

// What the rows may use: a folder of the test's own, removed after it; it
// is also the module's base folder, with an empty Calc folder below it.
struct SweepContext {
    std::filesystem::path dir;
};

// The rows of each area, in files of their own.
std::vector<Scenario> RegistryScenarios(const SweepContext& context);
std::vector<Scenario> ScriptScenarios(const SweepContext& context);
std::vector<Scenario> BindingScenarios(const SweepContext& context);
std::vector<Scenario> RunFailureScenarios(const SweepContext& context);

}  // namespace oomtest
