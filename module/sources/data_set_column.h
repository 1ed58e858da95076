// CMvDataSetColumn: one column of a data set, filed by name in the data
// set's Columns. Its property map drives the record stream and the XML form.
#pragma once

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvDataSetColumn.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvDataSetColumn : public mv::ComObjectRoot<CMvDataSetColumn>,
                         public mv::DispatchImpl<IMvDataSetColumn>,
                         public mv::SupportErrorInfoImpl<IMvDataSetColumn>,
                         public IMvPersistStreamImpl<CMvDataSetColumn>,
                         public IMvPersistXMLImpl<CMvDataSetColumn>,
                         public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvDataSetColumn, mv::Via<IDispatch, IMvDataSetColumn>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvDataSetColumn;
    static constexpr const char16_t* kProgId = u"Morva.Calc.DataSetColumn.1";
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvDataSetColumn; }

    // IMvDataSetColumn
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Type(LONG* pVal) override;
    HRESULT put_Type(LONG newVal) override;
    HRESULT get_AdoDataType(LONG* pVal) override;
    HRESULT put_AdoDataType(LONG newVal) override;
    HRESULT get_TypeText(BSTR* pVal) override;
    HRESULT put_TypeText(BSTR newVal) override;

    // IMvCalcName: the column's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // The name is copied and replaced under the object lock; the numbers are
    // plain, the data set's users serialise their calls.
    CharString m_Name;
    LONG m_Type = 0;
    LONG m_AdoDataType = 0;
};
