// The conversion factors between a parameter's Units and its BoundUnits,
// worked out from the process-wide unit-conversion table.
#include "frame/trace.h"
#include "parameters/parameter.h"
#include "parameters/unit_conversion.h"

HRESULT CMvParameter::SetUnitConversionFactor() {
    return MvMethodFrame("CMvParameter::SetUnitConversionFactor", [&] {
        // Both names are read through the parameter's own getters; the bound
        // units are not read when the units are empty.
        mv::Bstr units, boundUnits;
        (void)get_Units(units.Out());
        if (units.Length() != 0) (void)get_BoundUnits(boundUnits.Out());
        const MvUnitFactors factors = MvUnitConversionFactors(units.get(), boundUnits.get());
        mv::ObjectLock lock(this);
        m_UnitConversionMultiplier = factors.multiplier;
        m_UnitConversionOffset = factors.offset;
    });
}

HRESULT CMvParameter::GetUnitByName(BSTR unitName, IMvEngUnit** unit, IMvEngUnitType** unitType) {
    if (unit && unitType) MvFindUnit(MvGetUnitConvColl().get(), unitName, unit, unitType);
    return S_OK;
}

HRESULT CMvParameter::GetUnitType(LONG index, IMvEngUnitType** unitType) {
    if (unitType) MvUnitTypeAt(MvGetUnitConvColl().get(), index, unitType);
    return S_OK;
}
