#include "frame/app.h"

#include <mutex>

#include "frame/app_globals.h"
#include "frame/base_folder.h"
#include "frame/diagnostic_log.h"
#include "frame/dll_exports.h"
#include "frame/keldrin_client.h"
#include "frame/loaded_dlls.h"
#include "frame/memory_allocation.h"
#include "frame/object_server.h"
#include "frame/opc_registry.h"
#include "frame/tagged_lock.h"
#include "frame/tls_slots.h"

CMvMorvaCalcApp theApp;

namespace {

constexpr const OLECHAR* kVersionTag = u"17.0.0.266";

struct StepRecord {
    std::mutex lock;
    std::vector<std::string> steps;
};

StepRecord& Record() {
    static StepRecord record;
    return record;
}

void Step(const char* name) {
    StepRecord& r = Record();
    std::lock_guard guard(r.lock);
    r.steps.emplace_back(name);
}

}  // namespace

BOOL CMvMorvaCalcApp::InitInstance() {
    Step("InitInstance");

    Step("CreateObjectServerEvent");
    g_hObjectServerStarted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_pObjectServer = nullptr;

    Step("InitializeLog");
    // The user's name for the log, looked up now while memory is plentiful
    // rather than at a line.
    mv::LookUpUserName();
    g_DiagnosticLog.Initialize(MvModuleInstance(), LogComponentMorvaCalc, LogText(),
                               LogText(kVersionTag));

    Step("AllocateTlsSlots");
    AllocateTlsSlots();  // also sets this thread's values

    Step("ClearUnitConvColl");
    g_UnitConvColl = nullptr;

    Step("InitializeLocks");
    TaggedLockInitialize(g_CalcCacheLock);
    TaggedLockInitialize(g_PublishLock);
    TaggedLockInitialize(g_LibraryTimeLock);

    Step("GetBaseFolder");
    GetBaseFolder(g_BaseFolder);

    Step("InitKeldrinClient");
    InitKeldrinClient();

    Step("CreateOPCServers");
    CreateOPCServers();

    Step("InitComModule");
    MvComModuleInit();
    return TRUE;
}

int CMvMorvaCalcApp::ExitInstance() {
    Step("ExitInstance");

    Step("StopObjectServer");
    ObjectServer_Stop();

    Step("ShutdownKeldrinClient");
    ShutdownKeldrinClient();  // only when its start-up succeeded

    Step("CloseObjectServerEvent");
    if (g_hObjectServerStarted) CloseHandle(g_hObjectServerStarted);
    g_hObjectServerStarted = nullptr;

    Step("FreeTlsSlots");
    FreeTlsSlots();

    Step("DestroyOPCServers");
    DestroyOPCServers();

    Step("DeleteLocks");
    TaggedLockDelete(g_CalcCacheLock);
    TaggedLockDelete(g_PublishLock);
    TaggedLockDelete(g_LibraryTimeLock);

    Step("FreeLibraryTimes");
    g_mapLibraryModifiedTimes.clear();

    Step("CalcUnloadLibrary");
    CalcUnloadLibrary();
    ResetKeldcoreLoader();  // the older library is gone with the others

    Step("ReportLeaks");
    g_MemoryAllocation.ReportLeaks();

    Step("TermComModule");
    MvComModuleTerm();
    return 0;
}

std::vector<std::string> MvAppStepRecord() {
    StepRecord& r = Record();
    std::lock_guard guard(r.lock);
    return r.steps;
}
