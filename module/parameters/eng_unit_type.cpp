#include "parameters/eng_unit_type.h"

#include "frame/trace.h"
#include "parameters/eng_unit.h"
#include "persistence/calc_value_list.h"
#include "persistence/obj_collection.h"

namespace {

constexpr PropertyMapEntry kEngUnitTypeMap[] = {
    MvPropertyRow(u"Name", 248),
    MvPropertyRow(u"Description", 218),
    MvPropertyRow(u"StandardUnit", 278),
    MvPropertyRow(u"Units", 2008),
    MvPropertyMapEnd(),
};

}  // namespace

const PropertyMapEntry* CMvEngUnitType::GetPropertyMap() {
    return kEngUnitTypeMap;
}

HRESULT CMvEngUnitType::FinalConstruct() {
    return MvObjCollection_Create(&m_Units);
}

HRESULT CMvEngUnitType::get_Name(BSTR* pVal) {
    return MvGetTextProperty("CMvEngUnitType::get_Name", m_Name, pVal);
}

HRESULT CMvEngUnitType::put_Name(BSTR newVal) {
    return MvPutTextProperty("CMvEngUnitType::put_Name", m_Name, newVal);
}

HRESULT CMvEngUnitType::get_Description(BSTR* pVal) {
    return MvGetTextProperty("CMvEngUnitType::get_Description", m_Description, pVal);
}

HRESULT CMvEngUnitType::put_Description(BSTR newVal) {
    return MvPutTextProperty("CMvEngUnitType::put_Description", m_Description, newVal);
}

HRESULT CMvEngUnitType::get_StandardUnit(BSTR* pVal) {
    return MvGetTextProperty("CMvEngUnitType::get_StandardUnit", m_StandardUnit, pVal);
}

HRESULT CMvEngUnitType::put_StandardUnit(BSTR newVal) {
    return MvPutTextProperty("CMvEngUnitType::put_StandardUnit", m_StandardUnit, newVal);
}

HRESULT CMvEngUnitType::get_Units(IMvObjCollection** pVal) {
    return MvMethodFrame("CMvEngUnitType::get_Units", [&] {
        MvRequirePointer(pVal);
        (void)m_Units.CopyTo(pVal);
    });
}

HRESULT CMvEngUnitType::GetUnit(BSTR Name, IMvEngUnit** pUnit) {
    return MvMethodFrame("CMvEngUnitType::GetUnit", [&]() -> HRESULT {
        MvRequirePointer(pUnit);
        // A name that is not filed: the collection's failure and its error
        // information reach the caller unchanged.
        return MvObjCollection_GetAs(m_Units.get(), Name, pUnit);
    });
}

HRESULT CMvEngUnitType::AddUnit(BSTR Name, IMvEngUnit** pUnit) {
    return MvMethodFrame("CMvEngUnitType::AddUnit", [&]() -> HRESULT {
        // Checked before anything is filed, so a call that cannot hand the
        // unit out leaves the collection as it was.
        MvRequirePointer(pUnit);
        return MvObjCollection_AddNew<CMvEngUnit>(m_Units.get(), Name, pUnit);
    });
}
