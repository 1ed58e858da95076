// A formula library for the tests of the map of libraries loaded by name.
// The test hands it a counter; DllShutdown adds one to it (and, in the
// throwing kind, then throws).
#include <stdexcept>

namespace {
int* g_shutdownCounter = nullptr;
}  // namespace

extern "C" [[gnu::visibility("default")]] void SetShutdownCounter(int* counter) {
    g_shutdownCounter = counter;
}

#if !defined(MVLOGTEST_NO_SHUTDOWN)
extern "C" [[gnu::visibility("default")]] void DllShutdown() {
    if (g_shutdownCounter) ++*g_shutdownCounter;
#if defined(MVLOGTEST_THROWING)
    throw std::runtime_error("shutdown failed");
#endif
}
#endif
