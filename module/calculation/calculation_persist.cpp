// The calculation's loads and the run cache they make stale. A loaded
// document brings its own parameters, while the run's table and the cached
// "ReturnValue" still name the ones it let go: a run after the load would
// fold the old inputs and write its result where nobody reads it. Every
// load road therefore ends by forgetting both.
#include <utility>

#include "calculation/calculation.h"
#include "persistence/obj_collection.h"
#include "sources/dravik_connect.h"

// Forgets the run's parameters on every road out of a load.
struct CMvCalculation::ForgetOnExit {
    CMvCalculation* calc;
    ~ForgetOnExit() { calc->ForgetRunParameters(); }
};

void CMvCalculation::ForgetRunParameters() {
    ClearParamInfo();
    IMvParameter* old = nullptr;
    {
        mv::ObjectLock lock(this);
        old = std::exchange(m_ReturnValueParameter, nullptr);
    }
    if (old) old->Release();
}

bool CMvCalculation::ReturnValueStillFiledLocked() const noexcept {
    const ParamInfoTable* table = m_ParamInfo.get();
    if (!table) return false;
    const ParamInfoTable::ReturnValueLookup& last = table->ReturnValueFound;
    return last.Names && last.Collection.get() == m_Parameters.get() &&
           last.Found == m_ReturnValueParameter && last.Names->Generation() == last.Version;
}

// Without a table the next set-up looks a missing "ReturnValue" up anyway;
// a table built while there was none is rebuilt once one has been added.
// A look-up that agrees is kept with the table, so that later runs skip it
// until the collection's names change.
void CMvCalculation::ForgetStaleReturnValue() {
    mv::ComPtr<IMvParameter> cached;
    mv::ComPtr<IMvObjCollection> parameters;
    ParamInfoShare table;
    {
        mv::ObjectLock lock(this);
        if (ReturnValueStillFiledLocked()) return;
        cached = mv::ComPtr<IMvParameter>(m_ReturnValueParameter);
        if (!cached && !m_ParamInfo) return;
        table = m_ParamInfo;
        parameters = m_Parameters;
    }
    // Read before the look-up: a change meanwhile makes the next run look again.
    auto* names = dynamic_cast<CMvObjCollection*>(parameters.get());
    const uint64_t version = names ? names->Generation() : 0;
    mv::ComPtr<IDispatch> item;
    mv::ComPtr<IMvParameter> member;
    if (SUCCEEDED(parameters->ItemByName(mv::Bstr(u"ReturnValue").get(), item.Put())) && item)
        (void)item.As(&member);
    if (member.get() != cached.get()) {
        ForgetRunParameters();
        return;
    }
    if (!table || !names) return;
    mv::ComPtr<IMvObjCollection> previous;  // let go after leaving the lock
    mv::ObjectLock lock(this);
    if (m_ParamInfo != table || m_ReturnValueParameter != cached.get()) return;
    ParamInfoTable::ReturnValueLookup& last = table->ReturnValueFound;
    previous = std::exchange(last.Collection, std::move(parameters));
    last.Names = names;
    last.Version = version;
    last.Found = cached.get();
}

HRESULT CMvCalculation::Load(IStream* pStm) {
    ForgetOnExit forget{this};
    return IMvPersistStreamImpl<CMvCalculation>::Load(pStm);
}

// An element that holds the recipe connection's settings is read into a new
// connection (the engine reads it into the one the calculation holds); an
// empty element, as older documents hold, brings none.
HRESULT CMvCalculation::LoadXML(IXMLDOMNode* node) {
    return MvGuardedCall([&] { return LoadXMLWithConnection(node); });
}

HRESULT CMvCalculation::LoadXMLWithConnection(IXMLDOMNode* node) {
    ForgetOnExit forget{this};
    mv::ComPtr<IXMLDOMNodeList> children;
    LONG length = 0;
    if (node && SUCCEEDED(node->get_childNodes(children.Put())) && children &&
        SUCCEEDED(children->get_length(&length))) {
        for (LONG i = 0; i < length; ++i) {
            mv::ComPtr<IXMLDOMNode> child;
            mv::Bstr name;
            if (FAILED(children->get_item(i, child.Put())) || !child ||
                !MvPersistXML_HoldsElements(child.get()) || FAILED(child->get_nodeName(name.Out())))
                continue;
            // Named as the engine names it: by the calculation's dispatch table.
            LPOLESTR names[] = {name.get() ? name.get() : const_cast<LPOLESTR>(u"")};
            DISPID dispid = DISPID_UNKNOWN;
            if (FAILED(GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid)) ||
                dispid != DISPID_MvCalculation_DravikConnect)
                continue;
            mv::ComPtr<mv::ComObject<CMvDravikConnect>> created;
            if (SUCCEEDED(mv::MakeComObject<CMvDravikConnect>(&created)))
                put_DravikConnect(static_cast<IMvDravikConnect*>(created.get()));
            break;
        }
    }
    return IMvPersistXMLImpl<CMvCalculation>::LoadXML(node);
}
