// The active-calculation cache: the process-wide table from a calculation's
// name to a holder of the one loaded copy of Calc/<name>.mvc under the base
// folder, through which clients, calculation references and the calculation
// binding share calculations.
//
// Holders are counted: the map keeps one share, and a calculation reference
// keeps another between its runs. Every holder is read and changed under
// g_CalcCacheLock only, so a hand-out (read plus new reference) never meets
// an emptying, and two loads of one holder never both load. Clearing the
// cache marks every holder detached; whoever kept a share looks the name up
// again at its next use (MvUseActiveCalc). A reference that may be a
// calculation's last is released only after the lock is left.
#pragma once

#include <memory>
#include <string>

#include "comobj.h"
#include "interfaces/IMvCalculation.h"

class ActiveCalcObject {
public:
    ActiveCalcObject() = default;
    virtual ~ActiveCalcObject();
    ActiveCalcObject(const ActiveCalcObject&) = delete;
    ActiveCalcObject& operator=(const ActiveCalcObject&) = delete;

    // Loads Calc/<name>.mvc under the base folder when the holder is empty;
    // S_OK when it already holds a calculation. A failed load leaves it
    // empty, so the next use tries again.
    HRESULT Load(const std::string& name);
    // The held calculation with a new reference, or null; S_OK.
    HRESULT GetCalc(IMvCalculation** out);
    // Keeps `calc` (null empties the holder) and releases the one it held.
    void SetCalc(IMvCalculation* calc);
    // Whether the cache was cleared since this holder was handed out.
    bool Detached();

private:
    friend void ClearActiveCalcs();
    mv::ComPtr<IMvCalculation> m_Calc;  // guarded by g_CalcCacheLock
    bool m_Detached = false;            // guarded by g_CalcCacheLock
};

using ActiveCalcShare = std::shared_ptr<ActiveCalcObject>;

// The holder of `name` (created when absent), after its ActiveCalcObject::Load;
// S_OK, or E_FAIL with a null share when no holder could be made.
HRESULT FindOrCreateActiveCalc(const std::string& name, ActiveCalcShare* out);

// The entry point of clients and the calculation binding: the cached
// calculation of `name` (a null BSTR is the empty name) with a new reference,
// loaded when the holder is empty; S_OK with null when it cannot be loaded,
// E_FAIL when no holder can be made.
HRESULT g_GetCalcObject(BSTR name, IMvCalculation** out);

// A calculation reference's use of the share it keeps: looks `name` up again
// when the share is missing or detached (replacing it), else loads the kept
// holder when it is empty; then hands out its calculation as GetCalc does.
HRESULT MvUseActiveCalc(ActiveCalcShare& kept, const std::string& name, IMvCalculation** out);

// Creates a calculation, loads it from the document at `path`, refreshes it
// from the library formula it is based on and names it (when `name` is
// non-null); a calculation with store-and-forward enabled (exactly
// VARIANT_TRUE) starts with Status 6. On failure *out is null.
HRESULT LoadCalculationFile(const std::string& path, IMvCalculation** out, BSTR name);

// Empties the cache: every holder is detached and leaves the map; the
// calculations are released after the lock is left.
void ClearActiveCalcs();

// The path of <folder>/<name>.mvc under `base` ("/<folder>/..." for an empty
// base); a backslash in the name is a folder separator. The file is the one
// of exactly that name, else the one whose name matches ignoring case.
std::string MvDocumentPath(const std::string& base, const char* folder, const std::string& name);
