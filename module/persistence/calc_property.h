// CMvCalcProperty (a named entry with its own list of child entries) and
// CMvCalcProperties (a 1-based list of entries). Clients create, fill and
// read them; nothing else in the module uses them, and neither is persisted.
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcProperty.h"
#include "persistence/calc_value_list.h"

class CMvCalcProperty : public mv::ComObjectRoot<CMvCalcProperty>,
                        public mv::DispatchImpl<IMvCalcProperty>,
                        public mv::SupportErrorInfoImpl<IMvCalcProperty> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcProperty, mv::Via<IDispatch, IMvCalcProperty>, ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcProperty;

    // Creates the child list through the runtime; its failure discards the
    // new entry.
    HRESULT FinalConstruct();

    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_ParameterCount(LONG* pVal) override;
    HRESULT put_ParameterCount(LONG newVal) override;
    HRESULT get_Properties(IMvCalcProperties** pVal) override;

private:
    // No lock: clients that share an entry between threads serialise their
    // calls on it.
    CharString m_Name;
    LONG m_ParameterCount = 0;
    mv::ComPtr<IMvCalcProperties> m_Properties;
};

class CMvCalcProperties : public mv::ComObjectRoot<CMvCalcProperties>,
                          public mv::DispatchImpl<IMvCalcProperties>,
                          public mv::SupportErrorInfoImpl<IMvCalcProperties> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcProperties, mv::Via<IDispatch, IMvCalcProperties>, ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcProperties;

    void FinalRelease();

    HRESULT Add(IMvCalcProperty* Value) override;
    HRESULT get_Count(LONG* pVal) override;
    HRESULT Item(LONG Index, IMvCalcProperty** pItem) override;
    HRESULT RemoveAll() override;

private:
    // Releases every element, first to last, and empties the list.
    void ClearCollection() noexcept;

    MvCountedList<IMvCalcProperty> m_Properties;
};
