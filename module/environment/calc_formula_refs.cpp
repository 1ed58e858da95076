// The calculation's own operations on its formula references: adding one and
// clearing what they hold of a library formula along the copy chain.
#include <vector>

#include "calculation/calculation.h"
#include "environment/formula_ref.h"
#include "frame/trace.h"
#include "persistence/obj_collection.h"

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
