#include "sources/data_set.h"

#include <utility>

#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "parameters/eng_unit.h"
#include "persistence/obj_collection.h"
#include "sources/data_set_column.h"

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

std::shared_ptr<const mv::Variant> CMvDataSet::DataShare() {
    std::lock_guard<std::mutex> lock(m_DataLock);
    return m_Data;
}

HRESULT CMvDataSet::get_Data(VARIANT* pVal) {
    return MvMethodFrame("CMvDataSet::get_Data", [&] {
        MvRequirePointer(pVal);
        const std::shared_ptr<const mv::Variant> data = DataShare();
        VariantClear(pVal);
        return VariantCopy(pVal, data.get());
    });
}

HRESULT CMvDataSet::put_Data(VARIANT newVal) {
    return MvMethodFrame("CMvDataSet::put_Data", [&] {
        // A failed copy keeps the rows held so far.
        auto copy = std::make_shared<mv::Variant>();
        const HRESULT hr = VariantCopyInd(copy.get(), &newVal);
        if (FAILED(hr)) return hr;
        std::shared_ptr<const mv::Variant> old = std::move(copy);
        {
            std::lock_guard<std::mutex> lock(m_DataLock);
            std::swap(old, m_Data);
        }
        return S_OK;  // the old rows go outside the lock
    });
}

HRESULT CMvDataSet::GetDS_Values(LONG RowNumber, LONG nColIndex, LONG nDataType, LONG ArrayRequired,
                                 LONG MaxArraySize, VARIANT* vaValue, SHORT* Level, SHORT* Status) {
    return MvMethodFrame("CMvDataSet::GetDS_Values", [&] {
        MvRequirePointer(vaValue);
        MvRequirePointer(Level);
        MvRequirePointer(Status);
        const std::shared_ptr<const mv::Variant> data = DataShare();
        const HRESULT hr = ExtractVariantValue(*data, nDataType, RowNumber, nColIndex,
                                               ArrayRequired, MaxArraySize, vaValue);
        *Level = -1;   // mvcNO_QLEVEL
        *Status = -2;  // mvcQSTATUS_NO_STATUS
        return hr;
    });
}

namespace {

constexpr VARTYPE kVariantArray = VT_ARRAY | VT_VARIANT;

// The element count of a 1-D VARIANT array: -1 for a missing array, -2 for
// an array of another shape or element type, or one whose first element is
// not at index 0 (rows and cells are counted from 0).
LONG VariantArrayCount(const VARIANT& v) {
    if (v.vt != kVariantArray) return -2;
    if (!v.parray) return -1;
    VARTYPE elementType = VT_EMPTY;
    LONG lower = 0;
    if (SafeArrayGetDim(v.parray) != 1 || FAILED(SafeArrayGetVartype(v.parray, &elementType)) ||
        elementType != VT_VARIANT || FAILED(SafeArrayGetLBound(v.parray, 1, &lower)) || lower != 0)
        return -2;
    return static_cast<LONG>(v.parray->rgsabound[0].cElements);
}

// The cell `column` of `row` converted into `out`: a single-value row stands
// for every column when `anyColumn`, else only for column 0. A column outside
// the row, or a cell that does not convert, leaves `out` empty. Returns
// E_INVALIDARG for a row of another shape, E_OUTOFMEMORY when the cell could
// not be read or converted for lack of memory.
HRESULT ReadCell(const VARIANT& row, LONG column, LONG type, bool anyColumn, VARIANT* out) {
    if (!(row.vt & VT_ARRAY)) {
        if (anyColumn || column == 0)
            return MvOutOfMemoryOnly(CalcVariantChangeType(out, &row, type));
        return S_OK;
    }
    const LONG cells = VariantArrayCount(row);
    if (cells == -2) return E_INVALIDARG;
    if (column < 0 || column >= cells) return S_OK;
    mv::Variant cell;
    LONG index = column;
    HRESULT hr = SafeArrayGetElement(row.parray, &index, &cell);
    if (SUCCEEDED(hr)) hr = CalcVariantChangeType(out, &cell, type);
    return MvOutOfMemoryOnly(hr);
}

}  // namespace

HRESULT CMvDataSet::ExtractVariantValue(const VARIANT& data, LONG nDataType, LONG RowNumber,
                                        LONG nColIndex, LONG ArrayRequired, LONG MaxArraySize,
                                        VARIANT* vaValue) {
    MvStepFrame step("CMvDataSet::ExtractVariantValue");
    VariantClear(vaValue);
    if (!(data.vt & VT_ARRAY)) {
        const HRESULT hr = CalcVariantChangeType(vaValue, &data, nDataType);
        return SUCCEEDED(hr) ? S_OK : hr == E_OUTOFMEMORY ? hr : E_FAIL;
    }
    const LONG rows = VariantArrayCount(data);
    if (rows == -2) return E_INVALIDARG;
    if (rows <= 0) return E_FAIL;

    if (!ArrayRequired) {
        if (RowNumber < 0 || RowNumber >= rows) return S_OK;
        mv::Variant row;
        LONG index = RowNumber;
        if (HRESULT hr = SafeArrayGetElement(data.parray, &index, &row); FAILED(hr))
            return MvOutOfMemoryOnly(hr);
        mv::Variant value;
        const HRESULT hr = ReadCell(row, nColIndex, nDataType, true, &value);
        if (SUCCEEDED(hr)) *vaValue = value.Detach();
        return hr;
    }

    // One element per row gathered, never more than the array holds.
    const LONG count = MaxArraySize > 0 && MaxArraySize < rows ? MaxArraySize : rows;
    SAFEARRAY* result = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(count));
    if (!result) return E_OUTOFMEMORY;
    for (LONG k = 0; k < count; ++k) {
        mv::Variant row, element;
        LONG index = k;
        HRESULT hr = SafeArrayGetElement(data.parray, &index, &row);
        if (SUCCEEDED(hr)) hr = ReadCell(row, nColIndex, nDataType, false, &element);
        if (hr == E_INVALIDARG || hr == E_OUTOFMEMORY) {
            SafeArrayDestroy(result);
            return hr;
        }
        if (FAILED(hr = SafeArrayPutElement(result, &index, &element))) {
            SafeArrayDestroy(result);
            return hr;
        }
    }
    vaValue->vt = kVariantArray;
    vaValue->parray = result;
    return S_OK;
}
