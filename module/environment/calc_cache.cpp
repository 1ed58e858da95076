#include "environment/calc_cache.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "frame/app_globals.h"
#include "frame/base_folder.h"
#include "frame/tagged_lock.h"
#include "frame/trace.h"
#include "interfaces/IMvPersistFile.h"
#include "sys.h"

ActiveCalcObject::~ActiveCalcObject() = default;

HRESULT ActiveCalcObject::Load(const std::string& name) {
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    if (m_Calc) return S_OK;
    const std::string path = MvDocumentPath(g_BaseFolder.CStr(), "Calc", name);
    mv::Bstr bstrName(name);
    mv::ComPtr<IMvCalculation> loaded;
    const HRESULT hr = LoadCalculationFile(path, loaded.Put(), bstrName.get());
    if (SUCCEEDED(hr) && loaded) m_Calc = std::move(loaded);
    return hr;
}

HRESULT ActiveCalcObject::GetCalc(IMvCalculation** out) {
    if (!out) return E_POINTER;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    *out = mv::ComPtr<IMvCalculation>(m_Calc).Detach();
    return S_OK;
}

void ActiveCalcObject::SetCalc(IMvCalculation* calc) {
    mv::ComPtr<IMvCalculation> kept(calc);
    {
        TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
        std::swap(m_Calc, kept);
    }
    // `kept` now holds the old calculation, released here after the lock.
}

bool ActiveCalcObject::Detached() {
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    return m_Detached;
}

HRESULT FindOrCreateActiveCalc(const std::string& name, ActiveCalcShare* out) {
    if (out) out->reset();
    ActiveCalcShare holder;
    {
        TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
        auto it = g_mapActiveCalcs.find(name);
        if (it != g_mapActiveCalcs.end()) {
            holder = it->second;
        } else {
            holder = std::shared_ptr<ActiveCalcObject>(new (std::nothrow) ActiveCalcObject);
            if (!holder) return E_FAIL;
            g_mapActiveCalcs.emplace(name, holder);
        }
        (void)holder->Load(name);
    }
    if (out) *out = std::move(holder);
    return S_OK;
}

HRESULT g_GetCalcObject(BSTR name, IMvCalculation** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    static constexpr char kName[] = "g_GetCalcObject";
    MvStepFrame step(kName);
    try {
        const std::string narrow = mv::ToUtf8(name);
        // The holder is found, loaded and read under one hold of the cache
        // lock, so no emptying comes between the load and the hand-out.
        TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
        ActiveCalcShare holder;
        (void)FindOrCreateActiveCalc(narrow, &holder);
        if (!holder) return E_FAIL;
        return holder->GetCalc(out);
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}

HRESULT MvUseActiveCalc(ActiveCalcShare& kept, const std::string& name, IMvCalculation** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    if (!kept || kept->Detached()) {
        (void)FindOrCreateActiveCalc(name, &kept);
        if (!kept) return E_FAIL;
    } else {
        (void)kept->Load(name);
    }
    return kept->GetCalc(out);
}

HRESULT LoadCalculationFile(const std::string& path, IMvCalculation** out, BSTR name) {
    if (!out) return E_POINTER;
    *out = nullptr;
    mv::ComPtr<IMvCalculation> calc;
    HRESULT hr = CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IMvCalculation, calc.PutVoid());
    if (FAILED(hr)) return hr;
    if (!calc) return E_FAIL;
    {
        mv::ComPtr<IMvPersistFile> file;
        hr = calc.As(&file);
        if (FAILED(hr)) return hr;
        mv::Bstr bstrPath(path);
        hr = file->LoadFromFile(bstrPath.get());
        if (FAILED(hr)) return hr;
    }
    hr = calc->SetCalcFromFormula();
    if (name) (void)calc->put_Name(name);
    VARIANT_BOOL storeForward = VARIANT_FALSE;
    if (SUCCEEDED(calc->get_EnableStoreAndForward(&storeForward)) && storeForward == VARIANT_TRUE)
        (void)calc->put_Status(6);
    if (FAILED(hr)) return hr;
    *out = calc.Detach();
    return hr;
}

void ClearActiveCalcs() {
    MvStepFrame step("ClearActiveCalcs");
    std::vector<mv::ComPtr<IMvCalculation>> released;
    MvActiveCalcMap holders;
    {
        TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockWholeMap);
        holders.swap(g_mapActiveCalcs);
        released.reserve(holders.size());
        for (auto& [name, holder] : holders) {
            holder->m_Detached = true;
            released.push_back(std::move(holder->m_Calc));
        }
    }
    // The holders that no calculation reference keeps and the calculations
    // go here, outside the lock.
}

std::string MvDocumentPath(const std::string& base, const char* folder, const std::string& name) {
    std::string file = name + ".mvc";
    std::replace(file.begin(), file.end(), '\\', '/');
    const std::string dir = base.empty() ? std::string("/") + folder : mv::JoinPath(base, folder);
    std::string path = mv::JoinPath(dir, file);
    if (access(path.c_str(), F_OK) == 0) return path;
    // The file named alike but for letter case, when there is exactly such
    // a file (a name holding "*" or "?" matches nothing else).
    const std::size_t slash = path.rfind('/');
    const std::string leaf = path.substr(slash + 1);
    for (const std::string& found : mv::FindFiles(path))
        if (mv::EqualsNoCase(found, leaf)) return path.substr(0, slash + 1) + found;
    return path;
}
