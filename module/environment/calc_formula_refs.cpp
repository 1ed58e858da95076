// The calculation's own operations on its formula references: finding a
// library formula by name, adding, looking up and creating references,
// clearing what they hold of a library formula along the copy chain, and
// the check that drops a library whose file changed on disk.
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "environment/calc_environment.h"
#include "environment/formula_ref.h"
#include "environment/library_cache.h"
#include "frame/trace.h"
#include "persistence/obj_collection.h"

HRESULT CMvCalculation::FindFormula(BSTR FormulaName, IMvCalculation** formula, BSTR* libraryName,
                                    LONG* count) {
    MvStepFrame step("CMvCalculation::FindFormula");
    *formula = nullptr;
    *libraryName = nullptr;
    *count = 0;
    // The temporary library is searched first and, when it holds the name,
    // alone: its formulas have no library name.
    mv::ComPtr<IMvFormulaLibrary> temporary;
    (void)FindOrLoadLibrary(std::string(), temporary.Put());
    if (temporary) {
        mv::ComPtr<IMvCalculation> found;
        if (SUCCEEDED(temporary->GetFormula(FormulaName, found.Put())) && found) {
            *formula = found.Detach();
            *count = 1;
            return S_OK;
        }
    }

    // Every library file is visited, also after a hit, so that a name that
    // two libraries hold is counted twice; a library that cannot be loaded
    // is passed over.
    std::vector<std::string> names;
    GetLibraryList(names);
    mv::ComPtr<IMvCalculation> held;
    std::string heldLibrary;
    for (const std::string& name : names) {
        mv::ComPtr<IMvFormulaLibrary> library;
        (void)FindOrLoadLibrary(name, library.Put());
        if (!library) continue;
        mv::ComPtr<IMvCalculation> found;
        if (FAILED(library->GetFormula(FormulaName, found.Put())) || !found) continue;
        held = std::move(found);
        heldLibrary = name;
        ++*count;
    }
    if (*count != 1) return E_FAIL;
    *libraryName = mv::Bstr(heldLibrary).Detach();
    *formula = held.Detach();
    return S_OK;
}

HRESULT CMvCalculation::CreateFormulaRef(BSTR FormulaName, IMvFormulaRef** reference, LONG* count) {
    MvStepFrame step("CMvCalculation::CreateFormulaRef");
    *reference = nullptr;
    mv::ComPtr<IMvCalculation> formula;
    mv::Bstr library;
    const uint32_t drops = g_LibraryDrops.load();
    HRESULT hr = FindFormula(FormulaName, formula.Put(), library.Out(), count);
    if (!formula) return hr;
    mv::ComPtr<IDispatch> dispatch;
    hr = static_cast<IMvCalculation*>(this)->AddFormulaRef(FormulaName, library.get(),
                                                           dispatch.Put());
    if (!dispatch) return FAILED(hr) ? hr : E_FAIL;
    mv::ComPtr<IMvFormulaRef> created;
    hr = dispatch.As(&created);
    // The new reference holds the formula found at once, unless a library
    // was dropped as stale during the look-up.
    if (auto* own = dynamic_cast<CMvFormulaRef*>(created.get()))
        (void)own->HoldFound(formula.get(), drops);
    else if (created)
        (void)created->put_Formula(formula.get());
    *reference = created.Detach();
    return hr;
}

HRESULT CMvCalculation::GetFormula(BSTR FormulaName, IMvCalculation** pFormula, LONG* Count) {
    return MvMethodFrame("CMvCalculation::GetFormula", [&]() -> HRESULT {
        if (!pFormula || !Count) return E_POINTER;
        *Count = 1;
        *pFormula = nullptr;
        // Through the interface, so that a reference into a stale library is
        // dropped first.
        mv::ComPtr<IMvFormulaRef> reference;
        {
            mv::ComPtr<IDispatch> dispatch;
            (void)static_cast<IMvCalculation*>(this)->GetFormulaRef(FormulaName, dispatch.Put());
            if (dispatch) (void)dispatch.As(&reference);
        }
        if (!reference) {
            (void)CreateFormulaRef(FormulaName, reference.Put(), Count);
            // Another thread may have added the reference between the
            // look-up and the add: that one is taken.
            if (!reference && *Count == 1)
                (void)MvObjCollection_GetAs(Collection(m_FormulaRefs).get(), FormulaName,
                                            reference.Put());
        }
        // Reading Formula marks the reference in use; a reference whose
        // formula cannot be had counts no library.
        if (!reference) return S_OK;
        (void)reference->get_Formula(pFormula);
        if (*pFormula) return S_OK;
        *Count = 0;
        // A formula that its library no longer holds after a reload is
        // looked for as a new reference would be: when exactly one library
        // holds the name, the reference points there from now on.
        auto* own = dynamic_cast<CMvFormulaRef*>(reference.get());
        if (!own || !own->LostInReload()) return S_OK;
        const uint32_t drops = g_LibraryDrops.load();
        mv::ComPtr<IMvCalculation> found;
        mv::Bstr library;
        (void)FindFormula(FormulaName, found.Put(), library.Out(), Count);
        if (!found) return S_OK;
        (void)reference->put_LibraryName(library.get());
        (void)own->HoldFound(found.get(), drops);
        *pFormula = found.Detach();
        return S_OK;
    });
}

HRESULT CMvCalculation::AddFormulaRef(BSTR Name, BSTR LibraryName, IDispatch** pDisp) {
    return MvMethodFrame("CMvCalculation::AddFormulaRef", [&]() -> HRESULT {
        if (!pDisp) return E_POINTER;
        mv::ComPtr<mv::ComObject<CMvFormulaRef>> ref;
        if (HRESULT hr = mv::MakeComObject(&ref); FAILED(hr)) return hr;
        (void)ref->put_Name(Name);
        (void)ref->put_LibraryName(LibraryName);
        IDispatch* dispatch = ref.get();
        if (HRESULT hr = Collection(m_FormulaRefs)->Add(Name, dispatch); FAILED(hr)) {
            *pDisp = nullptr;
            return hr;
        }
        dispatch->AddRef();
        *pDisp = dispatch;
        return S_OK;
    });
}

HRESULT CMvCalculation::ReloadStaleLibraryIfNeeded(BSTR Name) {
    if (!g_EnableStaleLibraryReload) return S_OK;
    MvStepFrame step("CMvCalculation::ReloadStaleLibraryIfNeeded");
    mv::ComPtr<IMvObjCollection> references = Collection(m_FormulaRefs);
    mv::ComPtr<IMvFormulaRef> reference;
    if (!references || FAILED(MvObjCollection_GetAs(references.get(), Name, reference.Put())) ||
        !reference)
        return S_OK;
    mv::Bstr library;
    (void)reference->get_LibraryName(library.Out());
    // A library dropped as stale has moved to its next generation: every
    // reference into it, in any calculation and on any thread, lets its
    // formula go at its next use and fetches the reloaded one. The
    // reference itself stays.
    (void)CMvCalcEnvironment::ReloadLibrary(library.get());
    return S_OK;
}

HRESULT CMvCalculation::ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) {
    return MvMethodFrame("CMvCalculation::ClearFormulaRef", [&] {
        // The collection is shared with other calculations and threads: the
        // walk goes over a snapshot.
        std::vector<mv::ComPtr<IDispatch>> members;
        if (auto refs = Collection(m_FormulaRefs))
            (void)MvObjCollection_Snapshot(refs.get(), &members);
        for (const auto& member : members) {
            mv::ComPtr<IMvFormulaRef> ref;
            if (member && SUCCEEDED(member->QueryInterface(IID_IMvFormulaRef, ref.PutVoid())))
                (void)ref->ClearFormulaRef(LibraryName, FormulaName);
        }
        // The next copy is taken under the lock and cleared after it, so no
        // two copies' locks are held at once.
        mv::ComPtr<IMvCalculation> next;
        {
            mv::ObjectLock lock(this);
            next = m_NextCopy;
        }
        if (next) (void)next->ClearFormulaRef(LibraryName, FormulaName);
    });
}
