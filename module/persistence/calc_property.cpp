#include "persistence/calc_property.h"

#include <string>

#include "frame/trace.h"

namespace {

constexpr const char16_t* kPropertiesProgId = u"Morva.Calc.CalcProperties.1";

}  // namespace

// ---------------------------------------------------------------------------
// CMvCalcProperty
// ---------------------------------------------------------------------------
HRESULT CMvCalcProperty::FinalConstruct() {
    return CoCreateInstance(CLSID_MvCalcProperties, nullptr, CLSCTX_ALL, IID_IMvCalcProperties,
                            m_Properties.PutVoid());
}

HRESULT CMvCalcProperty::get_Name(BSTR* pVal) {
    return MvMethodFrame("CMvCalcProperty::get_Name", [&] {
        MvRequirePointer(pVal);
        *pVal = m_Name.ToBSTR();
    });
}

HRESULT CMvCalcProperty::put_Name(BSTR newVal) {
    return MvMethodFrame("CMvCalcProperty::put_Name", [&] {
        // The converter sizes its own result (a character may take up to
        // three bytes), so no name is cut short or emptied. The text ends at
        // its first zero character; null and "" leave the name empty.
        const std::string narrow = mv::ToUtf8(static_cast<const OLECHAR*>(newVal));
        m_Name.Assign(narrow.c_str());
    });
}

HRESULT CMvCalcProperty::get_ParameterCount(LONG* pVal) {
    return MvMethodFrame("CMvCalcProperty::get_ParameterCount", [&] {
        MvRequirePointer(pVal);
        *pVal = m_ParameterCount;
    });
}

HRESULT CMvCalcProperty::put_ParameterCount(LONG newVal) {
    return MvMethodFrame("CMvCalcProperty::put_ParameterCount", [&] { m_ParameterCount = newVal; });
}

HRESULT CMvCalcProperty::get_Properties(IMvCalcProperties** pVal) {
    return MvMethodFrame("CMvCalcProperty::get_Properties", [&] {
        if (pVal) (void)m_Properties.CopyTo(pVal);
    });
}

// ---------------------------------------------------------------------------
// CMvCalcProperties
// ---------------------------------------------------------------------------
void CMvCalcProperties::FinalRelease() {
    ClearCollection();
}

void CMvCalcProperties::ClearCollection() noexcept {
    MvStepFrame step("CMvCalcProperties::ClearCollection");
    m_Properties.Truncate(0);
}

HRESULT CMvCalcProperties::Add(IMvCalcProperty* Value) {
    return MvMethodFrame("CMvCalcProperties::Add", [&] { m_Properties.Append(Value); });
}

HRESULT CMvCalcProperties::get_Count(LONG* pVal) {
    return MvMethodFrame("CMvCalcProperties::get_Count", [&] {
        MvRequirePointer(pVal);
        *pVal = static_cast<LONG>(m_Properties.Size());
    });
}

HRESULT CMvCalcProperties::Item(LONG Index, IMvCalcProperty** pItem) {
    return MvMethodFrame("CMvCalcProperties::Item", [&] {
        return m_Properties.CopyItem(Index, pItem, kPropertiesProgId, IID_IMvCalcProperties);
    });
}

HRESULT CMvCalcProperties::RemoveAll() {
    return MvMethodFrame("CMvCalcProperties::RemoveAll", [&] { ClearCollection(); });
}
