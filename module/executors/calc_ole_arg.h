// CMvCalcOLEArg: one argument of an automation method description, filed by
// name in the method's Arguments. Holds data for the automation executor;
// its property map drives the record stream and the XML form.
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvCalcOLEArg.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvCalcOLEArg : public mv::ComObjectRoot<CMvCalcOLEArg>,
                      public mv::DispatchImpl<IMvCalcOLEArg>,
                      public mv::SupportErrorInfoImpl<IMvCalcOLEArg>,
                      public IMvPersistStreamImpl<CMvCalcOLEArg>,
                      public IMvPersistXMLImpl<CMvCalcOLEArg>,
                      public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalcOLEArg, mv::Via<IDispatch, IMvCalcOLEArg>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcOLEArg;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvCalcOLEArg; }

    // IMvCalcOLEArg
    HRESULT get_OleMethodArgumentType(LONG* pVal) override;
    HRESULT put_OleMethodArgumentType(LONG newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_ArgumentDataType(LONG* pVal) override;
    HRESULT put_ArgumentDataType(LONG newVal) override;
    HRESULT get_ParameterName(BSTR* pVal) override;
    HRESULT put_ParameterName(BSTR newVal) override;

    // IMvCalcName: the argument's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // Texts are copied and replaced under the object lock; the numbers are
    // plain, the owning calculation serialises their use.
    LONG m_OleMethodArgumentType = 0;
    CharString m_Name;
    LONG m_ArgumentDataType = 0;
    CharString m_ParameterName;
};
