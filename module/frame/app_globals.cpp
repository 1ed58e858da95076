#include "frame/app_globals.h"

namespace {

// Releases an interface pointer that is still set when the module's objects
// are destroyed. Interface pointers are IUnknown pointers, whatever
// interface the global is declared with.
template <class I>
struct ReleaseWhenSet {
    I*& pointer;
    ~ReleaseWhenSet() {
        if (pointer) reinterpret_cast<IUnknown*>(pointer)->Release();
        pointer = nullptr;
    }
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
IMvFormulaLibrary* g_TemporaryLibrary = nullptr;
static ReleaseWhenSet<IMvFormulaLibrary> s_releaseTemporaryLibrary{g_TemporaryLibrary};
IDispatch* g_pBusAdapter = nullptr;
static ReleaseWhenSet<IDispatch> s_releaseBusAdapter{g_pBusAdapter};
MvLibraryTimeMap g_mapLibraryModifiedTimes;
IMvObjCollection* g_UnitConvColl = nullptr;
CRITICAL_SECTION g_csOpcGIT;
static LoadTimeLock s_opcGitLock{g_csOpcGIT};
IGlobalInterfaceTable* g_pGIT = nullptr;
static ReleaseWhenSet<IGlobalInterfaceTable> s_releaseGit{g_pGIT};
