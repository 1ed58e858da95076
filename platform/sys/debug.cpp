// Debugger output: standard error, or a hook that tests install.
#include <atomic>
#include <cstdio>

#include "sys.h"

namespace {
std::atomic<mv::DebugOutputHook> g_hook{nullptr};
}  // namespace

namespace mv {
void SetDebugOutputHookForTesting(DebugOutputHook hook) {
    g_hook.store(hook);
}
}  // namespace mv

extern "C" {

void OutputDebugStringA(LPCSTR text) {
    const std::string_view view(text ? text : "");
    if (mv::DebugOutputHook hook = g_hook.load()) {
        hook(view);
        return;
    }
    std::fwrite(view.data(), 1, view.size(), stderr);
    std::fflush(stderr);
}

void OutputDebugStringW(LPCWSTR text) {
    // Text that cannot be converted for lack of memory is lost.
    mv::CallGuarded([&] { OutputDebugStringA(mv::ToUtf8(text).c_str()); });
}

}  // extern "C"
