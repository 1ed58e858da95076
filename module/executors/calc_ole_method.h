// CMvCalcOLEMethod: one property or method of the automation object that a
// formula calls, filed by name in a calculation's OleMethods, with its
// arguments in a collection of its own. Holds data for the automation
// executor; its property map drives the record stream and the XML form, the
// arguments travelling as a child collection.
#pragma once

#include <atomic>

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvCalcOLEMethod.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvCalcOLEMethod : public mv::ComObjectRoot<CMvCalcOLEMethod>,
                         public mv::DispatchImpl<IMvCalcOLEMethod>,
                         public mv::SupportErrorInfoImpl<IMvCalcOLEMethod>,
                         public IMvPersistStreamImpl<CMvCalcOLEMethod>,
                         public IMvCalcName,
                         public IMvPersistXMLImpl<CMvCalcOLEMethod> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcOLEMethod, mv::Via<IDispatch, IMvCalcOLEMethod>, ISupportErrorInfo,
                       IPersistStream, IMvCalcName, IMvPersistXML>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcOLEMethod;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvCalcOLEMethod; }

    // Creates the Arguments collection; its failure discards the new object.
    HRESULT FinalConstruct();

    // IMvCalcOLEMethod
    HRESULT get_OleObjectFieldType(LONG* pVal) override;
    HRESULT put_OleObjectFieldType(LONG newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_FieldDataType(LONG* pVal) override;
    HRESULT put_FieldDataType(LONG newVal) override;
    HRESULT get_ParameterName(BSTR* pVal) override;
    HRESULT put_ParameterName(BSTR newVal) override;
    HRESULT get_Arguments(IMvObjCollection** pVal) override;
    HRESULT AddArgument(BSTR Name, IMvCalcOLEArg** pArg) override;
    HRESULT GetArgument(BSTR Name, IMvCalcOLEArg** pArg) override;
    HRESULT get_DispId(LONG* pVal) override;
    HRESULT put_DispId(LONG newVal) override;

    // IMvCalcName: the method's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // Texts are copied and replaced under the object lock; the numbers are
    // plain, the owning calculation serialises their use, except DispId,
    // which every thread running the calculation reads and stores.
    LONG m_OleObjectFieldType = 0;
    CharString m_Name;
    LONG m_FieldDataType = 0;
    CharString m_ParameterName;
    mv::ComPtr<IMvObjCollection> m_Arguments;  // set for the object's whole life
    std::atomic<LONG> m_DispId{-1};
};
