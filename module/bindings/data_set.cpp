#include "bindings/data_set.h"

#include <utility>

#include "bindings/data_set_column.h"
#include "parameters/eng_unit.h"
#include "persistence/obj_collection.h"

namespace {

constexpr PropertyMapEntry kDataSetMap[] = {
    MvPropertyRow(u"Name", DISPID_MvDataSet_Name),
    MvPropertyRow(u"Description", DISPID_MvDataSet_Description),
    MvPropertyRow(u"*DataSetType", DISPID_MvDataSet_DataSetType),
    MvPropertyRow(u"ConnectionName", DISPID_MvDataSet_ConnectionName),
    MvPropertyRow(u"UserID", DISPID_MvDataSet_UserID),
    MvPropertyRow(u"Password", DISPID_MvDataSet_Password),
    MvPropertyRow(u"Options", DISPID_MvDataSet_Options),
    MvPropertyRow(u"QueryString", DISPID_MvDataSet_QueryString),
    MvPropertyRow(u"StaticData", DISPID_MvDataSet_StaticData),
    MvPropertyRow(u"Columns", DISPID_MvDataSet_Columns),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CMvDataSet::GetPropertyMap() {
    return kDataSetMap;
}

HRESULT CMvDataSet::FinalConstruct() {
    return MvObjCollection_Create(&m_Columns);
}

#define MV_DATA_SET_TEXT(Prop)                                                       \
    HRESULT CMvDataSet::get_##Prop(BSTR* pVal) {                                     \
        return MvGetTextProperty("CMvDataSet::get_" #Prop, *this, m_##Prop, pVal);   \
    }                                                                                \
    HRESULT CMvDataSet::put_##Prop(BSTR newVal) {                                    \
        return MvPutTextProperty("CMvDataSet::put_" #Prop, *this, m_##Prop, newVal); \
    }

#define MV_DATA_SET_NUMBER(Prop)                                                \
    HRESULT CMvDataSet::get_##Prop(LONG* pVal) {                                \
        return MvGetNumberProperty("CMvDataSet::get_" #Prop, m_##Prop, pVal);   \
    }                                                                           \
    HRESULT CMvDataSet::put_##Prop(LONG newVal) {                               \
        return MvPutNumberProperty("CMvDataSet::put_" #Prop, m_##Prop, newVal); \
    }

MV_DATA_SET_TEXT(Name)
MV_DATA_SET_TEXT(Description)
MV_DATA_SET_NUMBER(DataSetType)
MV_DATA_SET_TEXT(ConnectionName)
MV_DATA_SET_TEXT(UserID)
MV_DATA_SET_TEXT(Password)
MV_DATA_SET_NUMBER(Options)
MV_DATA_SET_TEXT(QueryString)
MV_DATA_SET_NUMBER(StaticData)
MV_DATA_SET_NUMBER(AdoConnected)

#undef MV_DATA_SET_TEXT
#undef MV_DATA_SET_NUMBER

HRESULT CMvDataSet::get_Columns(IMvObjCollection** pVal) {
    return MvMethodFrame("CMvDataSet::get_Columns", [&] {
        MvRequirePointer(pVal);
        (void)m_Columns.CopyTo(pVal);
    });
}

HRESULT CMvDataSet::AddDataSetColumn(BSTR Name, IMvDataSetColumn** pDisp) {
    return MvMethodFrame("CMvDataSet::AddDataSetColumn", [&]() -> HRESULT {
        // Checked before anything is filed, so a call that cannot hand the
        // column out leaves the collection as it was.
        MvRequirePointer(pDisp);
        return MvObjCollection_AddNew<CMvDataSetColumn>(m_Columns.get(), Name, pDisp);
    });
}

HRESULT CMvDataSet::get_AdoRecordSet(IDispatch** pVal) {
    return MvMethodFrame("CMvDataSet::get_AdoRecordSet", [&] {
        MvRequirePointer(pVal);
        mv::ObjectLock lock(this);
        (void)m_AdoRecordSet.CopyTo(pVal);
    });
}

HRESULT CMvDataSet::put_AdoRecordSet(IDispatch* newVal) {
    return MvMethodFrame("CMvDataSet::put_AdoRecordSet", [&] {
        // The new reference is taken before the old one goes, so putting the
        // record set already held keeps it alive; the old one is released
        // outside the lock.
        mv::ComPtr<IDispatch> held(newVal);
        {
            mv::ObjectLock lock(this);
            std::swap(held, m_AdoRecordSet);
        }
    });
}

HRESULT CMvDataSet::get_Data(VARIANT* /*pVal*/) {
    return E_NOTIMPL;
}

HRESULT CMvDataSet::put_Data(VARIANT /*newVal*/) {
    return E_NOTIMPL;
}

HRESULT CMvDataSet::GetDS_Values(LONG /*RowNumber*/, LONG /*nColIndex*/, LONG /*nDataType*/,
                                 LONG /*ArrayRequired*/, LONG /*MaxArraySize*/,
                                 VARIANT* /*vaValue*/, SHORT* /*Level*/, SHORT* /*Status*/) {
    return E_NOTIMPL;
}
