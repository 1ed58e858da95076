// The application's start-up and shut-down run from the entry point, once
// each, and leave every process-wide value they own in its documented state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/app.h"
#include "frame/app_globals.h"
#include "frame/dll_exports.h"
#include "frame/keldrin_client.h"
#include "frame/object_server.h"
#include "frame/opc_registry.h"
#include "frame/tls_slots.h"

namespace {

const std::vector<std::string> kStartUpThenShutDown = {
    "InitInstance",          "CreateObjectServerEvent", "InitializeLog",     "AllocateTlsSlots",
    "ClearUnitConvColl",     "InitializeLocks",         "GetBaseFolder",     "InitKeldrinClient",
    "CreateOPCServers",      "InitComModule",           "ExitInstance",      "StopObjectServer",
    "ShutdownKeldrinClient", "CloseObjectServerEvent",  "FreeTlsSlots",      "DestroyOPCServers",
    "DeleteLocks",           "FreeLibraryTimes",        "CalcUnloadLibrary", "ReportLeaks",
    "TermComModule",
};

TEST(StartupApp, EntryPointRunsStartUpAndShutDownOnceEachAndRestoresTheProcessWideState) {
    const size_t before = MvAppStepRecord().size();
    HINSTANCE self = reinterpret_cast<HINSTANCE>(0x1234);

    ASSERT_TRUE(DllMain(self, DLL_PROCESS_ATTACH, nullptr));
    ASSERT_TRUE(DllMain(self, DLL_PROCESS_ATTACH, nullptr));  // ignored
    EXPECT_EQ(MvModuleInstance(), self);

    EXPECT_NE(g_hObjectServerStarted, nullptr);
    EXPECT_EQ(g_pObjectServer, nullptr);
    EXPECT_NE(g_OPCServers, nullptr);
    EXPECT_EQ(g_UnitConvColl, nullptr);
    const DWORD slots[] = {g_tlsScratchBuffer, g_tlsRunningScheduleGroup, g_tlsCalcStack,
                           g_tlsLibraryMap, g_tlsReportFileErrors};
    for (size_t i = 0; i < std::size(slots); ++i) {
        EXPECT_NE(slots[i], TLS_OUT_OF_INDEXES) << i;
        for (size_t j = 0; j < i; ++j) EXPECT_NE(slots[i], slots[j]) << i << " " << j;
    }
    // Only the loading thread starts with file errors reported.
    EXPECT_TRUE(ReportFileErrorsOnThisThread());
    EXPECT_EQ(TlsGetValue(g_tlsCalcStack), nullptr);
    EXPECT_EQ(TlsGetValue(g_tlsRunningScheduleGroup), nullptr);

    g_mapLibraryModifiedTimes["lib.mvc"] = FILETIME{1, 2};
    LoadKeldcoreLibrary();  // the older library is absent here: the loader has run

    ASSERT_TRUE(DllMain(self, DLL_PROCESS_DETACH, nullptr));
    ASSERT_TRUE(DllMain(self, DLL_PROCESS_DETACH, nullptr));  // ignored

    EXPECT_EQ(g_hObjectServerStarted, nullptr);
    EXPECT_EQ(g_pObjectServer, nullptr);
    EXPECT_EQ(g_OPCServers, nullptr);
    EXPECT_EQ(g_bDaInitialized, 0);
    EXPECT_TRUE(g_mapLibraryModifiedTimes.empty());
    EXPECT_EQ(g_tlsReportFileErrors, TLS_OUT_OF_INDEXES);
    EXPECT_FALSE(ReportFileErrorsOnThisThread());
    EXPECT_EQ(g_bKeldcoreLoadTried, 0) << "a later start-up would not load the older library";

    std::vector<std::string> steps = MvAppStepRecord();
    steps.erase(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_EQ(steps, kStartUpThenShutDown);

    MvSetModuleInstance(nullptr);
}

// Records the order of the final releases of several probes.
class ReleaseProbe : public IUnknown {
public:
    ReleaseProbe(std::vector<std::string>& log, std::string name) : log_(log), name_(name) {}
    HRESULT QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        if (--refs_ == 0) log_.push_back(name_);
        return refs_;
    }

private:
    std::vector<std::string>& log_;
    std::string name_;
    ULONG refs_ = 1;
};

TEST(StartupApp, ProcessObjectsAreReleasedOnceInReverseOrderOfConstruction) {
    std::vector<std::string> released;
    ReleaseProbe git(released, "GIT"), bus(released, "bus adapter"),
        library(released, "temporary library");
    g_pGIT = reinterpret_cast<IGlobalInterfaceTable*>(static_cast<IUnknown*>(&git));
    g_pBusAdapter = reinterpret_cast<IMvAdapterControl*>(static_cast<IUnknown*>(&bus));
    g_TemporaryLibrary = reinterpret_cast<IMvFormulaLibrary*>(static_cast<IUnknown*>(&library));
    MvReleaseProcessObjects();
    MvReleaseProcessObjects();  // nothing left to release
    EXPECT_EQ(released, (std::vector<std::string>{"GIT", "bus adapter", "temporary library"}));
    EXPECT_EQ(g_pGIT, nullptr);
    EXPECT_EQ(g_pBusAdapter, nullptr);
    EXPECT_EQ(g_TemporaryLibrary, nullptr);
}

}  // namespace
