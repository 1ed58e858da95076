#include "parameters/unit_conversion.h"

#include <cmath>
#include <mutex>
#include <utility>

#include "frame/app_globals.h"
#include "frame/trace.h"

namespace {

// Guards g_UnitConvColl; held only to copy or swap the pointer.
std::mutex& UnitConvGuard() {
    static std::mutex guard;
    return guard;
}

bool SameObject(IUnknown* a, IUnknown* b) {
    mv::ComPtr<IUnknown> ia, ib;
    if (FAILED(a->QueryInterface(IID_IUnknown, ia.PutVoid()))) return false;
    if (FAILED(b->QueryInterface(IID_IUnknown, ib.PutVoid()))) return false;
    return ia.get() == ib.get();
}

}  // namespace

mv::ComPtr<IMvObjCollection> MvGetUnitConvColl() {
    std::lock_guard<std::mutex> hold(UnitConvGuard());
    return mv::ComPtr<IMvObjCollection>(g_UnitConvColl);
}

void MvSetUnitConvColl(IMvObjCollection* collection) {
    if (collection) collection->AddRef();
    IMvObjCollection* old = nullptr;
    {
        std::lock_guard<std::mutex> hold(UnitConvGuard());
        old = std::exchange(g_UnitConvColl, collection);
    }
    // Released outside the guard: the release may run the unit types'
    // destructors, and a reader already holds its own reference.
    if (old) old->Release();
}

MvUnitFactors MvUnitFactorsBetween(double unitsMultiplier, double unitsOffset,
                                   double boundMultiplier, double boundOffset) noexcept {
    if (unitsMultiplier == 0.0 || boundMultiplier == 0.0) return kMvUnitNotFound;
    const MvUnitFactors factors{unitsMultiplier / boundMultiplier,
                                (unitsOffset - boundOffset) / boundMultiplier};
    if (!std::isfinite(factors.multiplier) || !std::isfinite(factors.offset) ||
        factors.multiplier == 0.0)
        return kMvUnitNotFound;
    return factors;
}

void MvUnitTypeAt(IMvObjCollection* collection, LONG index, IMvEngUnitType** unitType) {
    MvStepFrame step("CMvParameter::GetUnitType");
    *unitType = nullptr;
    if (!collection) return;
    mv::ComPtr<IDispatch> member;
    if (FAILED(collection->ItemByIndex(index, member.Put())) || !member) return;
    if (FAILED(member->QueryInterface(IID_IMvEngUnitType, reinterpret_cast<void**>(unitType))))
        *unitType = nullptr;
}

void MvFindUnit(IMvObjCollection* collection, BSTR name, IMvEngUnit** unit,
                IMvEngUnitType** unitType) {
    MvStepFrame step("CMvParameter::GetUnitByName");
    if (!collection) return;
    LONG count = 0;
    if (FAILED(collection->get_Count(&count))) return;
    for (LONG index = 1; index <= count; ++index) {
        mv::ComPtr<IMvEngUnitType> type;
        MvUnitTypeAt(collection, index, type.Put());
        if (!type) continue;
        mv::ComPtr<IMvEngUnit> found;
        if (FAILED(type->GetUnit(name, found.Put())) || !found) continue;
        *unit = found.Detach();
        *unitType = type.Detach();
        return;
    }
}

MvUnitFactors MvUnitConversionFactors(BSTR units, BSTR boundUnits) {
    if (SysStringLen(units) == 0 || SysStringLen(boundUnits) == 0) return kMvNoUnitConversion;
    // One reference for the whole computation: both look-ups search the same
    // table even when another thread replaces it meanwhile.
    const mv::ComPtr<IMvObjCollection> table = MvGetUnitConvColl();
    mv::ComPtr<IMvEngUnit> unit, boundUnit;
    mv::ComPtr<IMvEngUnitType> type, boundType;
    MvFindUnit(table.get(), units, unit.Put(), type.Put());
    if (!unit) return kMvUnitNotFound;
    MvFindUnit(table.get(), boundUnits, boundUnit.Put(), boundType.Put());
    if (!boundUnit) return kMvUnitNotFound;
    if (!SameObject(type.get(), boundType.get())) return kMvUnitTypesDiffer;

    // A getter that fails leaves its preset.
    double boundMultiplier = 1.0, boundOffset = 0.0;
    double unitsMultiplier = 0.0, unitsOffset = 0.0;
    (void)boundUnit->get_Multiplier(&boundMultiplier);
    (void)boundUnit->get_Offset(&boundOffset);
    (void)unit->get_Multiplier(&unitsMultiplier);
    (void)unit->get_Offset(&unitsOffset);
    return MvUnitFactorsBetween(unitsMultiplier, unitsOffset, boundMultiplier, boundOffset);
}
