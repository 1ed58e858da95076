// CMvDataSet: a named table of values in a calculation's DataSets: the
// settings of the ADO query that fills it, its columns, the connected flag
// and a record set that a client hands over. The settings and the columns
// are persisted through the property map (the columns as a child
// collection); the flag, the record set and the rows never are.
#pragma once

#include <memory>
#include <mutex>

#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvDataSet.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"

class CMvDataSet : public mv::ComObjectRoot<CMvDataSet>,
                   public mv::DispatchImpl<IMvDataSet>,
                   public mv::SupportErrorInfoImpl<IMvDataSet>,
                   public IMvPersistStreamImpl<CMvDataSet>,
                   public IMvPersistXMLImpl<CMvDataSet>,
                   public IMvCalcName {
public:
    using InterfaceMap =
        mv::Interfaces<IMvDataSet, mv::Via<IDispatch, IMvDataSet>, ISupportErrorInfo,
                       IPersistStream, IMvPersistXML, IMvCalcName>;
    static constexpr const CLSID& kClsid = CLSID_MvDataSet;
    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvDataSet; }

    // Creates the Columns collection; its failure discards the new data set.
    HRESULT FinalConstruct();

    // IMvDataSet
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_Description(BSTR* pVal) override;
    HRESULT put_Description(BSTR newVal) override;
    HRESULT get_DataSetType(LONG* pVal) override;
    HRESULT put_DataSetType(LONG newVal) override;
    HRESULT get_ConnectionName(BSTR* pVal) override;
    HRESULT put_ConnectionName(BSTR newVal) override;
    HRESULT get_UserID(BSTR* pVal) override;
    HRESULT put_UserID(BSTR newVal) override;
    HRESULT get_Password(BSTR* pVal) override;
    HRESULT put_Password(BSTR newVal) override;
    HRESULT get_Options(LONG* pVal) override;
    HRESULT put_Options(LONG newVal) override;
    HRESULT get_QueryString(BSTR* pVal) override;
    HRESULT put_QueryString(BSTR newVal) override;
    HRESULT get_StaticData(LONG* pVal) override;
    HRESULT put_StaticData(LONG newVal) override;
    HRESULT get_Columns(IMvObjCollection** pVal) override;
    HRESULT AddDataSetColumn(BSTR Name, IMvDataSetColumn** pDisp) override;
    HRESULT get_AdoConnected(LONG* pVal) override;
    HRESULT put_AdoConnected(LONG newVal) override;
    HRESULT get_AdoRecordSet(IDispatch** pVal) override;
    HRESULT put_AdoRecordSet(IDispatch* newVal) override;
    HRESULT get_Data(VARIANT* pVal) override;
    HRESULT put_Data(VARIANT newVal) override;
    HRESULT GetDS_Values(LONG RowNumber, LONG nColIndex, LONG nDataType, LONG ArrayRequired,
                         LONG MaxArraySize, VARIANT* vaValue, SHORT* Level, SHORT* Status) override;

    // Reads one value, or with `ArrayRequired` one column from row 0 on, out
    // of `data` (a single value, or a 1-D VT_ARRAY | VT_VARIANT of rows, each
    // a single value or a 1-D VT_ARRAY | VT_VARIANT of cells) and converts it
    // to `nDataType`. Arrays of another shape give E_INVALIDARG; no rows give
    // E_FAIL; a row or cell outside the data gives an empty value and S_OK;
    // running out of memory gives E_OUTOFMEMORY, never an empty value.
    static HRESULT ExtractVariantValue(const VARIANT& data, LONG nDataType, LONG RowNumber,
                                       LONG nColIndex, LONG ArrayRequired, LONG MaxArraySize,
                                       VARIANT* vaValue);

    // IMvCalcName: the data set's Name.
    HRESULT get_ObjectName(BSTR* pName) override { return get_Name(pName); }
    HRESULT put_ObjectName(BSTR name) override { return put_Name(name); }

private:
    // Texts are copied and replaced, and the record set swapped, under the
    // object lock; the numbers are plain, the run of the owning calculation
    // serialises their use.
    CharString m_Name;
    CharString m_Description;
    LONG m_DataSetType = 1;  // mvcDSInput
    CharString m_ConnectionName;
    CharString m_UserID;
    CharString m_Password;
    LONG m_Options = 0;
    CharString m_QueryString;
    LONG m_StaticData = 0;
    mv::ComPtr<IMvObjCollection> m_Columns;  // set for the object's whole life
    LONG m_AdoConnected = 0;
    // The rows: an immutable copy that put replaces whole. Readers take a
    // share under the small lock (which takes no other lock) and read it
    // outside, so a put on another thread never frees rows being read.
    std::mutex m_DataLock;
    std::shared_ptr<const mv::Variant> m_Data = std::make_shared<const mv::Variant>();
    // Last, so that it is released first: before the columns and texts go.
    mv::ComPtr<IDispatch> m_AdoRecordSet;

    std::shared_ptr<const mv::Variant> DataShare();
};
