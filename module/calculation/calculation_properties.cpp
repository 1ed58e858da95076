// The calculation's definition, result and status properties and its
// property map.
#include <cstdio>
#include <new>
#include <utility>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "parameters/enum_texts.h"

namespace {

// A definition getter given no place for its result: the frame's error line
// and E_UNEXPECTED, as for a fault inside it.
HRESULT NullOut(const char* name) {
    MvTraceMethodException(name);
    return E_UNEXPECTED;
}

BSTR NewBstr(const std::string& text) {
    const std::u16string wide = mv::ToUtf16(text);
    BSTR result = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    if (!result) throw std::bad_alloc();
    return result;
}

constexpr const char* kStoreForwardTexts[] = {
    "Normal operation",
    "Store - Oldest input is before the last execution time",
    "Forward - Calculating on history data",
    "Disabled",
    "No input parameters",
    "Store - At least one input parameter is uninitialized",
    "Store - Oldest input is before the next execution time",
};

}  // namespace

const PropertyMapEntry* CMvCalculation::GetPropertyMap() {
    static constexpr PropertyMapEntry kMap[] = {
        MvPropertyRow(u"DravikConnect", DISPID_MvCalculation_DravikConnect),
        MvPropertyRow(u"Description", DISPID_MvCalculation_Description),
        MvPropertyRow(u"CreationDate", DISPID_MvCalculation_CreationDate),
        MvPropertyRow(u"ModifiedDate", DISPID_MvCalculation_ModifiedDate),
        MvPropertyRow(u"ID", DISPID_MvCalculation_ID),
        MvPropertyRow(u"Password", DISPID_MvCalculation_Password),
        MvPropertyRow(u"LastExecution", DISPID_MvCalculation_LastExecution),
        MvPropertyRow(u"CalculateTime", DISPID_MvCalculation_CalculateTime),
        MvPropertyRow(u"SandBoxMode", DISPID_MvCalculation_SandBoxMode),
        MvPropertyRow(u"EditOwner", DISPID_MvCalculation_EditOwner),
        MvPropertyRow(u"*Value", DISPID_MvCalculation_Value),
        MvPropertyRow(u"Level", DISPID_MvCalculation_Level),
        MvPropertyRow(u"Status", DISPID_MvCalculation_Status),
        MvPropertyRow(u"ErrorText", DISPID_MvCalculation_ErrorText),
        MvPropertyRow(u"ErrorPosition", DISPID_MvCalculation_ErrorPosition),
        MvPropertyRow(u"LibraryName", DISPID_MvCalculation_LibraryName),
        MvPropertyRow(u"FormulaName", DISPID_MvCalculation_FormulaName),
        MvPropertyRow(u"*FormulaType", DISPID_MvCalculation_FormulaType),
        MvPropertyRow(u"ScriptText", DISPID_MvCalculation_ScriptText),
        MvPropertyRow(u"Name", DISPID_MvCalculation_Name),
        MvPropertyRow(u"FunctionName", DISPID_MvCalculation_FunctionName),
        MvPropertyRow(u"DllName", DISPID_MvCalculation_DllName),
        MvPropertyRow(u"ExcelFileName", DISPID_MvCalculation_ExcelFileName),
        MvPropertyRow(u"ProgramName", DISPID_MvCalculation_ProgramName),
        MvPropertyRow(u"OLEObjectName", DISPID_MvCalculation_OLEObjectName),
        MvPropertyRow(u"CloseExcelAfterExecuting", DISPID_MvCalculation_CloseExcelAfterExecuting),
        MvPropertyRow(u"Parameters", DISPID_MvCalculation_Parameters),
        MvPropertyRow(u"DataSets", DISPID_MvCalculation_DataSets),
        MvPropertyRow(u"FormulaRefs", DISPID_MvCalculation_FormulaRefs),
        MvPropertyRow(u"OleMethods", DISPID_MvCalculation_OleMethods),
        MvPropertyRow(u"EnableStoreAndForward", DISPID_MvCalculation_EnableStoreAndForward),
        MvPropertyMapEnd(),
    };
    return kMap;
}

// ---------------------------------------------------------------------------
// Field access
// ---------------------------------------------------------------------------
HRESULT CMvCalculation::GetText(const char* name, const std::string& field, BSTR* pVal) {
    if (!pVal) return NullOut(name);
    std::string copy;
    {
        mv::ObjectLock lock(this);
        copy = field;
    }
    *pVal = NewBstr(copy);
    return S_OK;
}

// Converted before the lock is taken; a null or empty text empties the field.
HRESULT CMvCalculation::PutText(const char*, std::string& field, BSTR newVal) {
    std::string narrow = mv::ToUtf8(static_cast<const OLECHAR*>(newVal));
    mv::ObjectLock lock(this);
    field.swap(narrow);
    return S_OK;
}

HRESULT CMvCalculation::PutDllText(const char*, std::string& field, BSTR newVal) {
    std::string narrow = mv::ToUtf8(static_cast<const OLECHAR*>(newVal));
    mv::ObjectLock lock(this);
    field.swap(narrow);
    m_DllFunction = nullptr;
    return S_OK;
}

template <class T>
HRESULT CMvCalculation::GetDefinition(const char* name, const T& field, T* pVal) {
    if (!pVal) return NullOut(name);
    mv::ObjectLock lock(this);
    *pVal = field;
    return S_OK;
}

template <class T>
HRESULT CMvCalculation::GetState(const char*, const T& field, T* pVal) {
    if (!pVal) return E_POINTER;
    mv::ObjectLock lock(this);
    *pVal = field;
    return S_OK;
}

template <class T>
HRESULT CMvCalculation::PutNumber(const char*, T& field, T newVal) {
    mv::ObjectLock lock(this);
    field = newVal;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Plain properties
// ---------------------------------------------------------------------------
#define MV_CALC_ACCESSORS(Prop, Type, Get, Put)                                    \
    HRESULT CMvCalculation::get_##Prop(Type* pVal) {                               \
        static constexpr const char* kName = "CMvCalculation::get_" #Prop;         \
        return MvMethodFrame(kName, [&] { return Get(kName, m_##Prop, pVal); });   \
    }                                                                              \
    HRESULT CMvCalculation::put_##Prop(Type newVal) {                              \
        static constexpr const char* kName = "CMvCalculation::put_" #Prop;         \
        return MvMethodFrame(kName, [&] { return Put(kName, m_##Prop, newVal); }); \
    }
#define MV_CALC_TEXT(Prop) MV_CALC_ACCESSORS(Prop, BSTR, GetText, PutText)
#define MV_CALC_DEFINITION(Prop, Type) \
    MV_CALC_ACCESSORS(Prop, Type, GetDefinition<Type>, PutNumber<Type>)
#define MV_CALC_STATE(Prop, Type) MV_CALC_ACCESSORS(Prop, Type, GetState<Type>, PutNumber<Type>)

MV_CALC_TEXT(ID)
MV_CALC_TEXT(EditOwner)
MV_CALC_TEXT(LibraryName)
MV_CALC_TEXT(FormulaName)
MV_CALC_TEXT(ScriptText)
MV_CALC_TEXT(Name)
MV_CALC_ACCESSORS(FunctionName, BSTR, GetText, PutDllText)
MV_CALC_ACCESSORS(DllName, BSTR, GetText, PutDllText)
MV_CALC_TEXT(ExcelFileName)
MV_CALC_TEXT(ProgramName)
MV_CALC_TEXT(OLEObjectName)
MV_CALC_DEFINITION(CreationDate, DATE)
MV_CALC_DEFINITION(ModifiedDate, DATE)
MV_CALC_DEFINITION(Password, LONG)
MV_CALC_DEFINITION(SandBoxMode, LONG)
MV_CALC_DEFINITION(FormulaType, LONG)
MV_CALC_DEFINITION(OnSchedule, SHORT)
MV_CALC_DEFINITION(CloseExcelAfterExecuting, SHORT)
MV_CALC_DEFINITION(EnableStoreAndForward, VARIANT_BOOL)
MV_CALC_STATE(LastExecution, DATE)
MV_CALC_STATE(CalculateTime, DOUBLE)
MV_CALC_STATE(BeingCalculated, LONG)
MV_CALC_STATE(Level, SHORT)
MV_CALC_STATE(Status, SHORT)
MV_CALC_STATE(ErrorPosition, LONG)

#undef MV_CALC_ACCESSORS
#undef MV_CALC_TEXT
#undef MV_CALC_DEFINITION
#undef MV_CALC_STATE

HRESULT CMvCalculation::get_Description(BSTR* pVal) {
    static constexpr const char* kName = "CMvCalculation::get_Description";
    return MvMethodFrame(kName, [&] { return GetText(kName, m_Description, pVal); });
}

// Traced with its start line alone.
HRESULT CMvCalculation::put_Description(BSTR newVal) {
    static constexpr const char* kName = "CMvCalculation::put_Description";
    return MvMethodFrameNoEnd(kName, [&](bool& writeEnd) {
        writeEnd = false;
        return PutText(kName, m_Description, newVal);
    });
}

// The error text: a getter without a place for its result is refused with
// E_POINTER, like the other result properties.
HRESULT CMvCalculation::get_ErrorText(BSTR* pVal) {
    static constexpr const char* kName = "CMvCalculation::get_ErrorText";
    return MvMethodFrame(kName, [&] {
        if (!pVal) return E_POINTER;
        return GetText(kName, m_ErrorText, pVal);
    });
}

// A text put marks the run failed, an empty one clears the mark; the mark
// is set before the text is converted, so that it stands if that fails.
HRESULT CMvCalculation::put_ErrorText(BSTR newVal) {
    static constexpr const char* kName = "CMvCalculation::put_ErrorText";
    return MvMethodFrame(kName, [&] {
        mv::ObjectLock lock(this);
        m_Failed = SysStringLen(newVal) != 0;
        return PutText(kName, m_ErrorText, newVal);
    });
}

HRESULT CMvCalculation::get_Value(VARIANT* pVal) {
    return MvMethodFrame("CMvCalculation::get_Value", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        return MvOutOfMemoryOnly(VariantCopy(pVal, &m_Value));
    });
}

// The value a by-reference VARIANT refers to is stored, never a pointer
// into the caller's storage.
HRESULT CMvCalculation::put_Value(VARIANT newVal) {
    return MvMethodFrame("CMvCalculation::put_Value", [&] {
        mv::ObjectLock lock(this);
        return MvOutOfMemoryOnly(VariantCopyInd(&m_Value, &newVal));
    });
}

// ---------------------------------------------------------------------------
// Formula kind as text
// ---------------------------------------------------------------------------
// Rows 0 to 6 by the whole 32-bit kind; any other kind reads as its number.
HRESULT CMvCalculation::get_FormulaTypeText(BSTR* pVal) {
    static constexpr const char* kName = "CMvCalculation::get_FormulaTypeText";
    return MvMethodFrame(kName, [&] {
        if (!pVal) return NullOut(kName);
        LONG kind = 0;
        {
            mv::ObjectLock lock(this);
            kind = m_FormulaType;
        }
        if (kind >= 0 && kind < 7) {
            EnumToText(pVal, static_cast<SHORT>(kind), 7, FormulaTypeNames);
        } else {
            char text[16];
            std::snprintf(text, sizeof text, "%d", static_cast<int>(kind));
            *pVal = NewBstr(text);
        }
        return S_OK;
    });
}

HRESULT CMvCalculation::put_FormulaTypeText(BSTR newVal) {
    return MvMethodFrameNoEnd("CMvCalculation::put_FormulaTypeText", [&](bool& writeEnd) {
        SHORT kind = 0;
        if (TextToEnum(newVal, &kind, 7, FormulaTypeNames) != 0) {
            writeEnd = false;
            return mv::ReportError(kProgId, IID_IMvCalculation,
                                   u"Invalid text value for FormulaTypeText", E_FAIL);
        }
        mv::ObjectLock lock(this);
        m_FormulaType = kind;
        return S_OK;
    });
}

// ---------------------------------------------------------------------------
// Collections and the recipe connection
// ---------------------------------------------------------------------------
mv::ComPtr<IMvObjCollection> CMvCalculation::Collection(const mv::ComPtr<IMvObjCollection>& field) {
    mv::ObjectLock lock(this);
    return field;
}

#define MV_CALC_COLLECTION(Prop)                                           \
    HRESULT CMvCalculation::get_##Prop(IMvObjCollection** pVal) {          \
        static constexpr const char* kName = "CMvCalculation::get_" #Prop; \
        return MvMethodFrame(kName, [&] {                                  \
            if (!pVal) return NullOut(kName);                              \
            *pVal = Collection(m_##Prop).Detach();                         \
            return S_OK;                                                   \
        });                                                                \
    }

MV_CALC_COLLECTION(Parameters)
MV_CALC_COLLECTION(DataSets)
MV_CALC_COLLECTION(FormulaRefs)
MV_CALC_COLLECTION(OleMethods)

#undef MV_CALC_COLLECTION

HRESULT CMvCalculation::get_DravikConnect(IMvDravikConnect** pVal) {
    static constexpr const char* kName = "CMvCalculation::get_DravikConnect";
    return MvMethodFrame(kName, [&] {
        if (!pVal) return NullOut(kName);
        mv::ObjectLock lock(this);
        if (m_DravikConnect) m_DravikConnect->AddRef();
        *pVal = m_DravikConnect;
        return S_OK;
    });
}

// The new object is held before the old one is let go, and the old one is
// released outside the lock.
HRESULT CMvCalculation::put_DravikConnect(IMvDravikConnect* newVal) {
    return MvMethodFrame("CMvCalculation::put_DravikConnect", [&] {
        if (newVal) newVal->AddRef();
        IMvDravikConnect* old = nullptr;
        {
            mv::ObjectLock lock(this);
            old = std::exchange(m_DravikConnect, newVal);
        }
        if (old) old->Release();
    });
}

// ---------------------------------------------------------------------------
// Derived status
// ---------------------------------------------------------------------------
HRESULT CMvCalculation::get_CalculationStatus(SHORT* pVal) {
    return MvMethodFrame("CMvCalculation::get_CalculationStatus", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        SHORT status = 0;
        if (m_SandBoxMode != 0) status += 1;
        if (m_OnSchedule != 0) status += 2;
        if (FailedLocked()) {
            status += 4;
        } else if (m_OnSchedule != 0) {
            if (m_StoreForwardState == 1 || m_StoreForwardState == 5 || m_StoreForwardState == 6)
                status = 8;
            else if (m_StoreForwardState == 2)
                status = 9;
        }
        *pVal = status;
        return S_OK;
    });
}

HRESULT CMvCalculation::get_StoreForwardStatus(BSTR* pVal) {
    return MvMethodFrame("CMvCalculation::get_StoreForwardStatus", [&] {
        if (!pVal) return E_POINTER;
        LONG state = 0;
        {
            mv::ObjectLock lock(this);
            state = m_StoreForwardState;
        }
        const bool known = state >= 0 && state < static_cast<LONG>(std::size(kStoreForwardTexts));
        *pVal = NewBstr(known ? kStoreForwardTexts[state] : "");
        return S_OK;
    });
}

// True is 1, not VARIANT_TRUE: the schedule group tests for non-zero.
HRESULT CMvCalculation::get_IsStoreForwardHistoryMode(VARIANT_BOOL* pVal) {
    return MvMethodFrame("CMvCalculation::get_IsStoreForwardHistoryMode", [&] {
        if (!pVal) return;
        mv::ObjectLock lock(this);
        const LONG state = m_StoreForwardState;
        *pVal = (state == 2 || state == 5 || state == 6) ? 1 : 0;
    });
}
