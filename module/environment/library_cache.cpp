#include "environment/library_cache.h"

#include <mutex>
#include <utility>

#include "environment/calc_cache.h"
#include "environment/calc_environment.h"
#include "frame/base_folder.h"
#include "frame/tagged_lock.h"
#include "frame/tls_slots.h"
#include "frame/trace.h"
#include "interfaces/IMvPersistFile.h"
#include "sys.h"

std::atomic<bool> g_bPerThreadLibraries{false};
std::atomic<bool> g_EnableStaleLibraryReload{false};
MvLibraryGeneration g_LibraryDrops{0};

namespace {

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// The key of the file times: the name with ASCII letters lower-cased.
std::string TimeKey(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

bool IsBuiltin(const std::string& name) {
    return mv::EqualsNoCase(name, "builtin");
}

// The map in force; the caller holds g_CalcCacheLock. With per-thread
// caches on, the calling thread's map, created empty at its first need.
MvLibraryMap& CurrentLibraryMap() {
    if (!g_bPerThreadLibraries || g_tlsLibraryMap == TLS_OUT_OF_INDEXES) return g_mapLibraries;
    if (void* own = TlsGetValue(g_tlsLibraryMap)) return *static_cast<MvLibraryMap*>(own);
    MvLibraryMap& created = g_threadLibraryMaps.emplace_back();
    if (!TlsSetValue(g_tlsLibraryMap, &created)) {
        g_threadLibraryMaps.pop_back();
        return g_mapLibraries;
    }
    return created;
}

// Whether the time recorded for the key was another one.
bool StoreTime(const std::string& key, const FILETIME& time) {
    TaggedLockHolder lock(g_LibraryTimeLock, kTaggedLockSingle);
    auto [it, added] = g_mapLibraryModifiedTimes.try_emplace(key, time);
    const bool changed = !added && !SameTime(it->second, time);
    it->second = time;
    return changed;
}

// The generations by lower-cased name. Entries are never erased, so the
// counters stay where they are; the lock is taken under no other.
struct Generations {
    std::mutex lock;
    std::unordered_map<std::string, MvLibraryGeneration> byName;
};
Generations& AllGenerations() {
    static Generations all;
    return all;
}

MvLibraryGeneration* GenerationOf(const std::string& name) {
    if (name.empty() || IsBuiltin(name)) return nullptr;
    Generations& all = AllGenerations();
    std::lock_guard guard(all.lock);
    return &all.byName[TimeKey(name)];
}

// Outdates everything taken from the library of that name.
void RaiseGeneration(const std::string& name) {
    if (MvLibraryGeneration* generation = GenerationOf(name)) {
        ++g_LibraryDrops;
        ++*generation;
    }
}

bool Outdated(const MvLibraryEntry& entry) {
    return entry.Generation && entry.Generation->load() != entry.LoadedGeneration;
}

}  // namespace

const MvLibraryGeneration* LibraryGeneration(const std::string& name) {
    return GenerationOf(name);
}

HRESULT FindOrLoadLibrary(const std::string& name, IMvFormulaLibrary** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (name.empty()) {
        TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
        *out = mv::ComPtr<IMvFormulaLibrary>(g_TemporaryLibrary).Detach();
        return S_OK;
    }
    mv::ComPtr<IMvFormulaLibrary> outdated;  // released after the lock
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    MvLibraryMap& map = CurrentLibraryMap();
    auto it = map.find(name);
    // A library dropped as stale elsewhere (another thread's map, or the
    // load of a changed file) is loaded again here too.
    if (it != map.end() && Outdated(it->second)) {
        outdated = std::move(it->second.Library);
        map.erase(it);
        it = map.end();
    }
    if (it == map.end()) {
        const mv::Bstr path(MvDocumentPath(g_BaseFolder.CStr(), "Lib", name));
        const mv::Bstr bstrName(name);
        MvLibraryEntry entry;
        const HRESULT hr = LoadFormulaLibraryFile(path.get(), bstrName.get(), entry.Library.Put(),
                                                  &entry.HasLoadTime, &entry.LoadTime);
        if (FAILED(hr)) return hr;
        if (!entry.Library) return hr;
        // Read after the load, which may itself have raised it.
        entry.Generation = LibraryGeneration(name);
        if (entry.Generation) entry.LoadedGeneration = entry.Generation->load();
        it = map.emplace(name, std::move(entry)).first;
    }
    *out = mv::ComPtr<IMvFormulaLibrary>(it->second.Library).Detach();
    return S_OK;
}

HRESULT FindOrLoadLibrary(BSTR name, IMvFormulaLibrary** out) {
    return FindOrLoadLibrary(mv::ToUtf8(name), out);
}

HRESULT GetFormulaFromLibrary(BSTR library, BSTR formula, IMvCalculation** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    mv::ComPtr<IMvFormulaLibrary> found;
    const HRESULT hr = FindOrLoadLibrary(library, found.Put());
    if (!found) return hr;
    return found->GetFormula(formula, out);
}

HRESULT LoadFormulaLibraryFile(BSTR path, BSTR name, IMvFormulaLibrary** out, bool* hasLoadTime,
                               FILETIME* loadTime) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (hasLoadTime) *hasLoadTime = false;
    mv::ComPtr<IMvFormulaLibrary> library;
    HRESULT hr = CoCreateInstance(CLSID_MvFormulaLibrary, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IMvFormulaLibrary, library.PutVoid());
    if (FAILED(hr)) return hr;
    if (!library) return E_FAIL;
    mv::ComPtr<IMvPersistFile> file;
    hr = library.As(&file);
    if (FAILED(hr)) return hr;

    // The time is read before the load, so a rewrite during the load is
    // found by the next check.
    const std::string narrow = mv::ToUtf8(name);
    FILETIME before{};
    const bool timed = g_EnableStaleLibraryReload && name && !IsBuiltin(narrow) &&
                       CMvCalcEnvironment::GetLibraryLastModifiedTime(TimeKey(narrow), &before);
    hr = file->LoadFromFile(path);
    file = nullptr;
    if (timed) {
        // A file that changed since its time was recorded outdates what
        // was taken from the library before, as a stale check would.
        if (StoreTime(TimeKey(narrow), before)) RaiseGeneration(narrow);
        if (hasLoadTime) *hasLoadTime = true;
        if (loadTime) *loadTime = before;
    }
    if (FAILED(hr)) return hr;
    if (name) (void)library->put_Name(name);
    *out = library.Detach();
    return hr;
}

void ClearLibraryMap() {
    MvLibraryMap released;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockWholeMap);
    released.swap(CurrentLibraryMap());
    // Libraries are released when `released` goes, after the lock: the
    // holder is declared after it and so is destroyed first.
}

void DeleteThreadLibraryMap() {
    MvLibraryMap released;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockWholeMap);
    if (g_tlsLibraryMap == TLS_OUT_OF_INDEXES) return;
    auto* own = static_cast<MvLibraryMap*>(TlsGetValue(g_tlsLibraryMap));
    if (!own) return;
    released.swap(*own);
    g_threadLibraryMaps.remove_if([own](const MvLibraryMap& m) { return &m == own; });
    TlsSetValue(g_tlsLibraryMap, nullptr);
}

void GetLibraryList(std::vector<std::string>& names) {
    const std::string base = g_BaseFolder.CStr();
    const std::string folder = base.empty() ? std::string("/Lib") : mv::JoinPath(base, "Lib");
    for (const std::string& file : mv::FindFiles(mv::JoinPath(folder, "*.mvc")))
        names.push_back(file.substr(0, file.size() - 4));
}

// ---- CMvCalcEnvironment's library operations ----------------------------------

HRESULT CMvCalcEnvironment::RemoveLibraryObjectInternal(BSTR name) {
    MvStepFrame step("CMvCalcEnvironment::RemoveLibraryObjectInternal");
    const std::string narrow = mv::ToUtf8(name);
    mv::ComPtr<IMvFormulaLibrary> released;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    MvLibraryMap& map = CurrentLibraryMap();
    if (auto it = map.find(narrow); it != map.end()) {
        released = std::move(it->second.Library);
        map.erase(it);
    }
    return S_OK;
}

void CMvCalcEnvironment::ClearLibraryFormulaRefs(BSTR library, BSTR formula) {
    MvStepFrame step("CMvCalcEnvironment::ClearLibraryFormulaRefs");
    std::vector<mv::ComPtr<IMvFormulaLibrary>> libraries;
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockWholeMap);
    for (auto& [name, entry] : CurrentLibraryMap()) libraries.push_back(entry.Library);
    for (auto& cached : libraries)
        if (cached) (void)cached->ClearFormulaRef(library, formula);
}

HRESULT CMvCalcEnvironment::CreateTemporaryLibraryInternal(IMvFormulaLibrary** out) {
    if (out) *out = nullptr;
    // Created under the cache lock, so concurrent first calls make one.
    TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
    if (!g_TemporaryLibrary) {
        IMvFormulaLibrary* created = nullptr;
        if (FAILED(CoCreateInstance(CLSID_MvFormulaLibrary, nullptr, CLSCTX_ALL,
                                    IID_IMvFormulaLibrary, reinterpret_cast<void**>(&created))))
            created = nullptr;
        g_TemporaryLibrary = created;
    }
    if (out) *out = mv::ComPtr<IMvFormulaLibrary>(g_TemporaryLibrary).Detach();
    return S_OK;
}

bool CMvCalcEnvironment::GetLibraryLastModifiedTime(const std::string& key, FILETIME* out) {
    return mv::GetFileLastWriteTime(MvDocumentPath(g_BaseFolder.CStr(), "Lib", key), out);
}

void CMvCalcEnvironment::StoreLibraryModifiedTime(BSTR name) {
    if (!name) return;
    const std::string narrow = mv::ToUtf8(name);
    if (IsBuiltin(narrow)) return;
    FILETIME time{};
    if (GetLibraryLastModifiedTime(TimeKey(narrow), &time)) StoreTime(TimeKey(narrow), time);
}

bool CMvCalcEnvironment::ReloadLibrary(BSTR name) {
    MvStepFrame step("CMvCalcEnvironment::ReloadLibrary");
    if (!name) return false;
    const std::string narrow = mv::ToUtf8(name);
    if (IsBuiltin(narrow)) return false;
    const std::string key = TimeKey(narrow);
    FILETIME now{};
    if (!GetLibraryLastModifiedTime(key, &now)) return false;

    // Decided under the time lock, acted on after it: the cache lock comes
    // before the time lock.
    bool staleByRecord = false;
    {
        TaggedLockHolder lock(g_LibraryTimeLock, kTaggedLockSingle);
        auto it = g_mapLibraryModifiedTimes.find(key);
        if (it == g_mapLibraryModifiedTimes.end()) {
            g_mapLibraryModifiedTimes.emplace(key, now);
        } else if (!SameTime(it->second, now)) {
            it->second = now;
            staleByRecord = true;
        }
    }

    std::vector<mv::ComPtr<IMvFormulaLibrary>> dropped;
    {
        TaggedLockHolder lock(g_CalcCacheLock, kTaggedLockSingle);
        MvLibraryMap& map = CurrentLibraryMap();
        // The generation moves when this check is the first to see the
        // change: the record changed, or an entry still current was stale.
        bool news = staleByRecord;
        for (auto it = map.begin(); it != map.end();) {
            MvLibraryEntry& entry = it->second;
            if (!mv::EqualsNoCase(it->first, narrow)) {
                ++it;
                continue;
            }
            const bool stale = entry.HasLoadTime ? !SameTime(entry.LoadTime, now) : staleByRecord;
            if (stale) {
                news = news || !Outdated(entry);
                dropped.push_back(std::move(entry.Library));
                it = map.erase(it);
                continue;
            }
            // An entry loaded without a time is kept at its first check and
            // compared with this time from then on.
            entry.HasLoadTime = true;
            entry.LoadTime = now;
            ++it;
        }
        if (news) RaiseGeneration(narrow);
    }
    return staleByRecord || !dropped.empty();
}

HRESULT CMvCalcEnvironment::GetLibraryNamesInternal(VARIANT* out) {
    MvStepFrame step("CMvCalcEnvironment::GetLibraryNames");
    std::vector<std::string> names;
    GetLibraryList(names);
    if (names.empty() || !out) return S_OK;
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(names.size()));
    if (!array) return E_OUTOFMEMORY;
    for (LONG i = 0; i < static_cast<LONG>(names.size()); ++i) {
        mv::Variant element(mv::ToUtf16(names[static_cast<std::size_t>(i)]));
        SafeArrayPutElement(array, &i, &element);
    }
    VariantClear(out);
    V_VT(out) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(out) = array;
    return S_OK;
}
