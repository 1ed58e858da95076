// IMvDataSet: a named table of values that a calculation holds in its
// DataSets: the settings of the ADO query that fills it, its columns, the
// connected flag and a record set that a client hands over, and the rows.
#pragma once

#include "comobj.h"
#include "interfaces/IMvDataSetColumn.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/MvMorvaCalc_ids.h"

// The declared direction of a data set (DataSetType); nothing decides by it.
enum DataSetTypes : LONG {
    mvcDSUnused = 0,
    mvcDSInput = 1,
    mvcDSOutput = 2,
    mvcDSInputOutput = 3,
};

struct IMvDataSet : IDispatch {
    virtual HRESULT get_Name(BSTR* pVal) = 0;
    virtual HRESULT put_Name(BSTR newVal) = 0;
    virtual HRESULT get_Description(BSTR* pVal) = 0;
    virtual HRESULT put_Description(BSTR newVal) = 0;
    // A DataSetTypes value, stored unchecked.
    virtual HRESULT get_DataSetType(LONG* pVal) = 0;
    virtual HRESULT put_DataSetType(LONG newVal) = 0;
    // The ADO connection name (an ODBC data source name), user and password
    // (plain text, also in the stored forms), options and query.
    virtual HRESULT get_ConnectionName(BSTR* pVal) = 0;
    virtual HRESULT put_ConnectionName(BSTR newVal) = 0;
    virtual HRESULT get_UserID(BSTR* pVal) = 0;
    virtual HRESULT put_UserID(BSTR newVal) = 0;
    virtual HRESULT get_Password(BSTR* pVal) = 0;
    virtual HRESULT put_Password(BSTR newVal) = 0;
    virtual HRESULT get_Options(LONG* pVal) = 0;
    virtual HRESULT put_Options(LONG newVal) = 0;
    virtual HRESULT get_QueryString(BSTR* pVal) = 0;
    virtual HRESULT put_QueryString(BSTR newVal) = 0;
    // Non-zero: the query runs only on the pass that opens the connection.
    virtual HRESULT get_StaticData(LONG* pVal) = 0;
    virtual HRESULT put_StaticData(LONG newVal) = 0;
    // The columns: one collection for the object's whole life.
    virtual HRESULT get_Columns(IMvObjCollection** pVal) = 0;
    // Files a new column under Name. A name already filed (in any letter
    // case) fails with the collection's error information and a null
    // column.
    virtual HRESULT AddDataSetColumn(BSTR Name, IMvDataSetColumn** pDisp) = 0;
    // Non-zero once the ADO connection of this data set is open; not
    // persisted.
    virtual HRESULT get_AdoConnected(LONG* pVal) = 0;
    virtual HRESULT put_AdoConnected(LONG newVal) = 0;
    // A record set a client hands over, held with one reference; null holds
    // none. Not persisted.
    virtual HRESULT get_AdoRecordSet(IDispatch** pVal) = 0;
    virtual HRESULT put_AdoRecordSet(IDispatch* newVal) = 0;
    // The rows: one value for every cell, or an array of rows, each one
    // value or an array of cells in column order. Not persisted.
    virtual HRESULT get_Data(VARIANT* pVal) = 0;
    virtual HRESULT put_Data(VARIANT newVal) = 0;
    // One cell (or, with ArrayRequired, one column from row 0 on) converted
    // to the ParameterDataType nDataType; Level and Status read -1 and -2.
    virtual HRESULT GetDS_Values(LONG RowNumber, LONG nColIndex, LONG nDataType, LONG ArrayRequired,
                                 LONG MaxArraySize, VARIANT* vaValue, SHORT* Level,
                                 SHORT* Status) = 0;

protected:
    ~IMvDataSet() = default;
};
MV_IID_OF(IMvDataSet, IID_IMvDataSet);

enum : DISPID {
    DISPID_MvDataSet_Name = 0xF8,
    DISPID_MvDataSet_Description = 0xDA,
    DISPID_MvDataSet_DataSetType = 0xD7,
    DISPID_MvDataSet_ConnectionName = 0xD3,
    DISPID_MvDataSet_UserID = 0x121,
    DISPID_MvDataSet_Password = 0x102,
    DISPID_MvDataSet_Options = 0xFD,
    DISPID_MvDataSet_QueryString = 0x104,
    DISPID_MvDataSet_StaticData = 0x117,
    DISPID_MvDataSet_Columns = 0x7D4,
    DISPID_MvDataSet_AddDataSetColumn = 1,
    DISPID_MvDataSet_AdoConnected = 2,
    DISPID_MvDataSet_AdoRecordSet = 3,
    DISPID_MvDataSet_Data = 4,
    DISPID_MvDataSet_GetDS_Values = 5,
};

#define MV_DATA_SET_PROP(Name)                                                \
    mv::PropGet<&IMvDataSet::get_##Name>(DISPID_MvDataSet_##Name, u## #Name), \
        mv::PropPut<&IMvDataSet::put_##Name>(DISPID_MvDataSet_##Name, u## #Name)

MV_DISPATCH_TABLE(
    IMvDataSet, MV_DATA_SET_PROP(Name), MV_DATA_SET_PROP(Description),
    MV_DATA_SET_PROP(DataSetType), MV_DATA_SET_PROP(ConnectionName), MV_DATA_SET_PROP(UserID),
    MV_DATA_SET_PROP(Password), MV_DATA_SET_PROP(Options), MV_DATA_SET_PROP(QueryString),
    MV_DATA_SET_PROP(StaticData),
    mv::PropGet<&IMvDataSet::get_Columns>(DISPID_MvDataSet_Columns, u"Columns"),
    mv::Method<&IMvDataSet::AddDataSetColumn>(DISPID_MvDataSet_AddDataSetColumn,
                                              u"AddDataSetColumn")
        .Names(u"Name"),
    MV_DATA_SET_PROP(AdoConnected), MV_DATA_SET_PROP(AdoRecordSet), MV_DATA_SET_PROP(Data),
    mv::MethodByRef<&IMvDataSet::GetDS_Values>(DISPID_MvDataSet_GetDS_Values, u"GetDS_Values")
        .Names(u"RowNumber,nColIndex,nDataType,ArrayRequired,MaxArraySize,vaValue,Level,Status"))

#undef MV_DATA_SET_PROP
