// The process-wide unit-conversion collection (the unit types read from the
// conversions file) and the look-ups a parameter makes in it to work out the
// factors between its units and its bound units.
//
// The collection is read and replaced only through the two functions below.
// They share a small guard of their own, held only while the pointer is
// copied or swapped: a reader leaves with a counted reference of its own, so
// a conversion never walks a collection that another thread is releasing,
// and no call into a collection is made under the guard.
#pragma once

#include "comobj.h"
#include "interfaces/IMvEngUnitType.h"
#include "interfaces/IMvObjCollection.h"

// The current collection with one reference for the caller, or null when
// none is set.
mv::ComPtr<IMvObjCollection> MvGetUnitConvColl();

// Makes `collection` (null clears it) the process-wide collection, adding
// one reference to it, and releases the one it replaces after the swap.
void MvSetUnitConvColl(IMvObjCollection* collection);

// The linear factors from a parameter's units to its bound units:
//   value in bound units = value in units × multiplier + offset.
// A multiplier of 0.0 means that nothing is converted; the offset then says
// why (see the markers below).
struct MvUnitFactors {
    double multiplier;
    double offset;
    friend bool operator==(const MvUnitFactors&, const MvUnitFactors&) = default;
};
// Units or bound units empty: nothing to convert.
inline constexpr MvUnitFactors kMvNoUnitConversion{0.0, 0.0};
// A unit name is in no unit type, or a unit cannot convert (multiplier 0.0
// or factors that are not finite).
inline constexpr MvUnitFactors kMvUnitNotFound{0.0, 1.0};
// The two units belong to different unit types.
inline constexpr MvUnitFactors kMvUnitTypesDiffer{0.0, 2.0};

// The factors between two units of one type, each given by its factors to
// the type's standard unit. A zero multiplier on either side or a result
// that is not finite gives kMvUnitNotFound, never an infinite or NaN factor
// (a zero multiplier for the parameter's unit would otherwise read as one of
// the markers).
MvUnitFactors MvUnitFactorsBetween(double unitsMultiplier, double unitsOffset,
                                   double boundMultiplier, double boundOffset) noexcept;

// The member at the 1-based `index` of `collection` as a unit type, or null
// when there is no member there or it is not a unit type. Writes the step
// lines of CMvParameter::GetUnitType.
void MvUnitTypeAt(IMvObjCollection* collection, LONG index, IMvEngUnitType** unitType);

// Scans the unit types of `collection` (null finds nothing) in order and
// hands out the first unit filed under `name` with its unit type, each with
// one reference for the caller. When no unit type has it, both out pointers
// are left as they were. Writes the step lines of CMvParameter::GetUnitByName.
void MvFindUnit(IMvObjCollection* collection, BSTR name, IMvEngUnit** unit,
                IMvEngUnitType** unitType);

// The whole computation for a parameter's two unit names, against the
// process-wide collection as it stands when the call begins.
MvUnitFactors MvUnitConversionFactors(BSTR units, BSTR boundUnits);
