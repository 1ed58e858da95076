#include "frame/app_globals.h"

#include <utility>

namespace {

// Releases an interface pointer that is still set when the module's objects
// are destroyed. Interface pointers are IUnknown pointers, whatever
// interface the global is declared with.
template <class I>
void ReleaseIfSet(I*& pointer) {
    if (I* p = std::exchange(pointer, nullptr)) reinterpret_cast<IUnknown*>(p)->Release();
}

template <class I>
struct ReleaseWhenSet {
    I*& pointer;
    ~ReleaseWhenSet() { ReleaseIfSet(pointer); }
};

// A critical section that lives from load to unload.
struct LoadTimeLock {
    CRITICAL_SECTION& cs;
    explicit LoadTimeLock(CRITICAL_SECTION& c) : cs(c) { InitializeCriticalSection(&cs); }
    ~LoadTimeLock() { DeleteCriticalSection(&cs); }
};

}  // namespace

// Constructed in this order when the module is loaded and destroyed in the
// reverse order after shut-down.
MvActiveCalcMap g_mapActiveCalcs;
MvLibraryMap g_mapLibraries;
std::list<MvLibraryMap> g_threadLibraryMaps;
IMvFormulaLibrary* g_TemporaryLibrary = nullptr;
static ReleaseWhenSet<IMvFormulaLibrary> s_releaseTemporaryLibrary{g_TemporaryLibrary};
IMvAdapterControl* g_pBusAdapter = nullptr;
static ReleaseWhenSet<IMvAdapterControl> s_releaseBusAdapter{g_pBusAdapter};
MvLibraryTimeMap g_mapLibraryModifiedTimes;
IMvObjCollection* g_UnitConvColl = nullptr;
CRITICAL_SECTION g_csOpcGIT;
static LoadTimeLock s_opcGitLock{g_csOpcGIT};
IGlobalInterfaceTable* g_pGIT = nullptr;
static ReleaseWhenSet<IGlobalInterfaceTable> s_releaseGit{g_pGIT};

void MvReleaseProcessObjects() {
    ReleaseIfSet(g_pGIT);
    ReleaseIfSet(g_pBusAdapter);
    ReleaseIfSet(g_TemporaryLibrary);
    // No other thread runs module code any more: the locks are gone.
    MvActiveCalcMap calcs = std::move(g_mapActiveCalcs);
    MvLibraryMap libraries = std::move(g_mapLibraries);
    std::list<MvLibraryMap> threadLibraries = std::move(g_threadLibraryMaps);
    g_mapActiveCalcs.clear();
    g_mapLibraries.clear();
    g_threadLibraryMaps.clear();
}
