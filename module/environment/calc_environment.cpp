#include "environment/calc_environment.h"

#include <atomic>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "environment/calc_cache.h"
#include "environment/library_cache.h"
#include "frame/app_globals.h"
#include "frame/keldrin_client.h"
#include "frame/object_server.h"
#include "frame/tagged_lock.h"
#include "frame/tls_slots.h"
#include "frame/trace.h"
#include "parameters/unit_conversion.h"
#include "sources/bus_adapter_interfaces.h"

namespace {

// The execution buffer of one thread, kept in g_tlsScratchBuffer.
struct ExecutionBuffer {
    LONG Capacity = 0;
    std::unique_ptr<BYTE[]> Bytes;
};

std::atomic<bool> g_failNextGrowth{false};

ExecutionBuffer* ThreadBuffer() {
    if (g_tlsScratchBuffer == TLS_OUT_OF_INDEXES) return nullptr;
    return static_cast<ExecutionBuffer*>(TlsGetValue(g_tlsScratchBuffer));
}

std::unique_ptr<BYTE[]> NewBytes(LONG size) {
    if (g_failNextGrowth.exchange(false)) throw std::bad_alloc();
    return std::make_unique<BYTE[]>(static_cast<std::size_t>(size));
}

// Keeps the calling thread from logging files that cannot be opened for the
// life of the object, then lets it log them again (whatever it did before).
class QuietFileErrors {
public:
    QuietFileErrors() { SetReportFileErrorsOnThisThread(false); }
    ~QuietFileErrors() { SetReportFileErrorsOnThisThread(true); }
    QuietFileErrors(const QuietFileErrors&) = delete;
    QuietFileErrors& operator=(const QuietFileErrors&) = delete;
};

}  // namespace

// ---- the execution buffer ---------------------------------------------------

BYTE* GetTlsExecutionBuffer(LONG size) {
    if (g_tlsScratchBuffer == TLS_OUT_OF_INDEXES) return nullptr;
    ExecutionBuffer* record = ThreadBuffer();
    if (!record) {
        if (size < 0) return nullptr;
        auto created = std::make_unique<ExecutionBuffer>();
        created->Bytes = NewBytes(size);
        created->Capacity = size;
        if (!TlsSetValue(g_tlsScratchBuffer, created.get())) return nullptr;
        record = created.release();
    } else if (record->Capacity < size) {
        // The new array is had before the old one goes: a failed growth
        // keeps the old buffer.
        record->Bytes = NewBytes(size);
        record->Capacity = size;
    }
    return record->Bytes.get();
}

void ReleaseTlsExecutionBuffer() {
    if (ExecutionBuffer* record = ThreadBuffer()) {
        TlsSetValue(g_tlsScratchBuffer, nullptr);
        delete record;
    }
}

LONG TlsExecutionBufferSize() {
    const ExecutionBuffer* record = ThreadBuffer();
    return record ? record->Capacity : 0;
}

void MvFailNextExecutionBufferGrowthForTesting() {
    g_failNextGrowth = true;
}

// ---- CMvCalcEnvironment -------------------------------------------------------

void CMvCalcEnvironment::FinalRelease() {
    MvStepFrame step("CMvCalcEnvironment::FinalRelease");
    try {
        ClearActiveCalcs();
        ClearLibraryMap();
        ObjectServer_Stop();
        ShutdownKeldrinClient();  // the next historian use starts it again
        MvSetUnitConvColl(nullptr);
        // Under the publishing lock, so no publication is using the
        // adapter while it is stopped and released.
        TaggedLockHolder lock(g_PublishLock, kTaggedLockSingle);
        if (IMvAdapterControl* adapter = std::exchange(g_pBusAdapter, nullptr)) {
            (void)adapter->Stop();
            adapter->Release();
        }
    } catch (...) {
        MvLogErrorHr("CMvCalcEnvironment::FinalRelease", E_UNEXPECTED);
    }
}

HRESULT CMvCalcEnvironment::GetCalcObject(BSTR Name, BSTR basedir, IMvCalculation** pCalc) {
    return MvMethodFrame("CMvCalcEnvironment::GetCalcObject", [&]() -> HRESULT {
        if (!pCalc) return E_POINTER;
        *pCalc = nullptr;
        if (basedir) {
            const std::string path = MvDocumentPath(mv::ToUtf8(basedir), "Calc", mv::ToUtf8(Name));
            return LoadCalculationFile(path, pCalc, Name);
        }
        QuietFileErrors quiet;
        return g_GetCalcObject(Name, pCalc);
    });
}

HRESULT CMvCalcEnvironment::RemoveCalcObject(BSTR Name) {
    return MvMethodFrame("CMvCalcEnvironment::RemoveCalcObject", [&] {
        QuietFileErrors quiet;
        ActiveCalcShare holder;
        (void)FindOrCreateActiveCalc(mv::ToUtf8(Name), &holder);
        if (holder) holder->SetCalc(nullptr);
    });
}

HRESULT CMvCalcEnvironment::LoadCalculation(BSTR filename, BSTR CalcName, IMvCalculation** pCalc) {
    return MvMethodFrame("CMvCalcEnvironment::LoadCalculation", [&]() -> HRESULT {
        if (!pCalc) return E_POINTER;
        return LoadCalculationFile(mv::ToUtf8(filename), pCalc, CalcName);
    });
}

HRESULT CMvCalcEnvironment::LoadFormulaLibrary(BSTR filename, BSTR LibraryName,
                                               IMvFormulaLibrary** pLibrary) {
    return MvMethodFrame("CMvCalcEnvironment::LoadFormulaLibrary", [&]() -> HRESULT {
        if (!pLibrary) return E_POINTER;
        return LoadFormulaLibraryFile(filename, LibraryName, pLibrary);
    });
}

HRESULT CMvCalcEnvironment::GetLibraryObject(BSTR Name, IMvFormulaLibrary** pLibrary) {
    return MvMethodFrame("CMvCalcEnvironment::GetLibraryObject", [&]() -> HRESULT {
        if (!pLibrary) return E_POINTER;
        return FindOrLoadLibrary(Name, pLibrary);
    });
}

HRESULT CMvCalcEnvironment::GetFormulaObject(BSTR LibraryName, BSTR FormulaName,
                                             IMvCalculation** pFormula) {
    return MvMethodFrame("CMvCalcEnvironment::GetFormulaObject", [&]() -> HRESULT {
        if (!pFormula) return E_POINTER;
        return GetFormulaFromLibrary(LibraryName, FormulaName, pFormula);
    });
}

HRESULT CMvCalcEnvironment::GetThreadLocalBuffer(LONG BufSize) {
    return MvMethodFrame("CMvCalcEnvironment::GetThreadLocalBuffer", [&]() -> HRESULT {
        if (BufSize < 0 && !ThreadBuffer()) return E_INVALIDARG;
        if (!GetTlsExecutionBuffer(BufSize) && BufSize > 0) return E_UNEXPECTED;
        return S_OK;
    });
}

HRESULT CMvCalcEnvironment::ReleaseThreadLocalBuffer() {
    return MvMethodFrame("CMvCalcEnvironment::ReleaseThreadLocalBuffer",
                         [] { ReleaseTlsExecutionBuffer(); });
}

HRESULT CMvCalcEnvironment::RemoveLibraryObject(BSTR Name) {
    return MvMethodFrame("CMvCalcEnvironment::RemoveLibraryObject",
                         [&] { return RemoveLibraryObjectInternal(Name); });
}

HRESULT CMvCalcEnvironment::ReplaceFormula(BSTR LibraryName, BSTR FormulaName) {
    return MvMethodFrame("CMvCalcEnvironment::ReplaceFormula", [&] {
        ClearLibraryFormulaRefs(LibraryName, FormulaName);
        UnloadCalcsUsingFormula(LibraryName, FormulaName);
    });
}

HRESULT CMvCalcEnvironment::SetUnitConvColl(IMvObjCollection* pColl) {
    return MvMethodFrame("CMvCalcEnvironment::SetUnitConvColl", [&] { MvSetUnitConvColl(pColl); });
}

HRESULT CMvCalcEnvironment::GetLibraryNames(VARIANT* LibraryNames) {
    return MvMethodFrame("CMvCalcEnvironment::GetLibraryNames",
                         [&] { return GetLibraryNamesInternal(LibraryNames); });
}

HRESULT CMvCalcEnvironment::CreateTemporaryLibrary(IMvFormulaLibrary** pLibrary) {
    return MvMethodFrame("CMvCalcEnvironment::CreateTemporaryLibrary",
                         [&] { return CreateTemporaryLibraryInternal(pLibrary); });
}

HRESULT CMvCalcEnvironment::get_EnableStaleLibraryReload(VARIANT_BOOL* bReload) {
    return MvMethodFrame("CMvCalcEnvironment::get_EnableStaleLibraryReload", [&]() -> HRESULT {
        if (!bReload) return E_POINTER;
        mv::ObjectLock lock(this);
        *bReload = g_EnableStaleLibraryReload ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

HRESULT CMvCalcEnvironment::put_EnableStaleLibraryReload(VARIANT_BOOL bReload) {
    return MvMethodFrame("CMvCalcEnvironment::put_EnableStaleLibraryReload", [&] {
        mv::ObjectLock lock(this);
        g_EnableStaleLibraryReload = bReload != 0;
    });
}

namespace {

// Calls visit(holder, calculation) for every cached calculation under the
// cache lock; the calculations are released after the lock.
template <class Visit>
void ForEachCachedCalc(Visit&& visit) {
    std::vector<mv::ComPtr<IMvCalculation>> held;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockWholeMap);
    // The walk goes over the holders as they stand: the calls below may
    // reach the cache again on this thread.
    std::vector<ActiveCalcShare> holders;
    for (const auto& entry : g_mapActiveCalcs) holders.push_back(entry.second);
    for (const ActiveCalcShare& holder : holders) {
        mv::ComPtr<IMvCalculation> calc;
        (void)holder->GetCalc(calc.Put());
        if (!calc) continue;
        visit(*holder, calc.get());
        held.push_back(std::move(calc));
    }
}

}  // namespace

void CMvCalcEnvironment::UnloadCalcsUsingFormula(BSTR library, BSTR formula) {
    MvStepFrame step("CMvCalcEnvironment::UnloadCalcsUsingFormula");
    ForEachCachedCalc([&](ActiveCalcObject& holder, IMvCalculation* calc) {
        if (calc->IsBasedOnFormula(library, formula) == S_OK)
            holder.SetCalc(nullptr);
        else
            (void)calc->ClearFormulaRef(library, formula);
    });
}

// ---- CMvPDCalcEnv -------------------------------------------------------------

void CMvPDCalcEnv::FinalRelease() {
    MvStepFrame step("CMvPDCalcEnv::FinalRelease");
    try {
        ClearLibraryMap();
        DeleteThreadLibraryMap();
    } catch (...) {
        MvLogErrorHr("CMvPDCalcEnv::FinalRelease", E_UNEXPECTED);
    }
}

HRESULT CMvPDCalcEnv::SetPDCalc() {
    g_bPerThreadLibraries = true;
    return S_OK;
}
