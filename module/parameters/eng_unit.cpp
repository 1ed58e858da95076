#include "parameters/eng_unit.h"

#include <optional>
#include <string>

#include "frame/trace.h"
#include "persistence/calc_value_list.h"

namespace {

constexpr PropertyMapEntry kEngUnitMap[] = {
    MvPropertyRow(u"Name", 248),
    MvPropertyRow(u"Description", 218),
    MvPropertyRow(u"Multiplier", 247),
    MvPropertyRow(u"Offset", 252),
    MvPropertyMapEnd(),
};

HRESULT GetText(const char* method, mv::ComObjectRootBase* owner, const CharString& field,
                BSTR* pVal) {
    return MvMethodFrame(method, [&] {
        MvRequirePointer(pVal);
        std::optional<mv::ObjectLock> lock;
        if (owner) lock.emplace(owner);
        *pVal = field.ToBSTR();
    });
}

HRESULT PutText(const char* method, mv::ComObjectRootBase* owner, CharString& field, BSTR newVal) {
    return MvMethodFrame(method, [&] {
        // The converter sizes its own result, so no character is cut.
        const std::string narrow = mv::ToUtf8(static_cast<const OLECHAR*>(newVal));
        std::optional<mv::ObjectLock> lock;
        if (owner) lock.emplace(owner);
        field.Assign(narrow.c_str());
    });
}

}  // namespace

HRESULT MvGetTextProperty(const char* method, const CharString& field, BSTR* pVal) {
    return GetText(method, nullptr, field, pVal);
}

HRESULT MvPutTextProperty(const char* method, CharString& field, BSTR newVal) {
    return PutText(method, nullptr, field, newVal);
}

HRESULT MvGetTextProperty(const char* method, mv::ComObjectRootBase& owner, const CharString& field,
                          BSTR* pVal) {
    return GetText(method, &owner, field, pVal);
}

HRESULT MvPutTextProperty(const char* method, mv::ComObjectRootBase& owner, CharString& field,
                          BSTR newVal) {
    return PutText(method, &owner, field, newVal);
}

const PropertyMapEntry* CMvEngUnit::GetPropertyMap() {
    return kEngUnitMap;
}

HRESULT CMvEngUnit::get_Name(BSTR* pVal) {
    return MvGetTextProperty("CMvEngUnit::get_Name", m_Name, pVal);
}

HRESULT CMvEngUnit::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvEngUnit::put_Name", m_Name, newVal);
}

HRESULT CMvEngUnit::get_Description(BSTR* pVal) {
    return MvGetTextProperty("CMvEngUnit::get_Description", m_Description, pVal);
}

HRESULT CMvEngUnit::put_Description(BSTR newVal) {
    return MvPutTextProperty("CMvEngUnit::put_Description", m_Description, newVal);
}

HRESULT CMvEngUnit::get_Multiplier(DOUBLE* pVal) {
    return MvMethodFrame("CMvEngUnit::get_Multiplier", [&] {
        MvRequirePointer(pVal);
        *pVal = m_Multiplier;
    });
}

HRESULT CMvEngUnit::put_Multiplier(DOUBLE newVal) {
    return MvMethodFrame("CMvEngUnit::put_Multiplier", [&] { m_Multiplier = newVal; });
}

HRESULT CMvEngUnit::get_Offset(DOUBLE* pVal) {
    return MvMethodFrame("CMvEngUnit::get_Offset", [&] {
        MvRequirePointer(pVal);
        *pVal = m_Offset;
    });
}

HRESULT CMvEngUnit::put_Offset(DOUBLE newVal) {
    return MvMethodFrame("CMvEngUnit::put_Offset", [&] { m_Offset = newVal; });
}
