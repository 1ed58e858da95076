// CMvCalcEnvironment: the COM class through which clients reach the
// process-wide caches of calculations and libraries, the unit-conversion
// collection and the per-thread execution buffer. Any number may exist; none
// keeps state of its own, and the final release of any one tears the
// process-wide caches and services down (they refill or restart on demand).
//
// CMvPDCalcEnv switches the process to per-thread library caches; its final
// release drops the releasing thread's map.
#pragma once

#include <string>

#include "comobj.h"
#include "interfaces/IMvCalcEnvironment.h"

class CMvCalcEnvironment : public mv::ComObjectRoot<CMvCalcEnvironment>,
                           public mv::DispatchImpl<IMvCalcEnvironment>,
                           public mv::SupportErrorInfoImpl<IMvCalcEnvironment> {
public:
    using InterfaceMap = mv::Interfaces<IMvCalcEnvironment, mv::Via<IDispatch, IMvCalcEnvironment>,
                                        ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvCalcEnvironment;

    void FinalRelease();

    // IMvCalcEnvironment, in interface order.
    HRESULT GetCalcObject(BSTR Name, BSTR basedir, IMvCalculation** pCalc) override;
    HRESULT RemoveCalcObject(BSTR Name) override;
    HRESULT LoadCalculation(BSTR filename, BSTR CalcName, IMvCalculation** pCalc) override;
    HRESULT LoadFormulaLibrary(BSTR filename, BSTR LibraryName,
                               IMvFormulaLibrary** pLibrary) override;
    HRESULT GetLibraryObject(BSTR Name, IMvFormulaLibrary** pLibrary) override;
    HRESULT GetFormulaObject(BSTR LibraryName, BSTR FormulaName,
                             IMvCalculation** pFormula) override;
    HRESULT GetThreadLocalBuffer(LONG BufSize) override;
    HRESULT ReleaseThreadLocalBuffer() override;
    HRESULT RemoveLibraryObject(BSTR Name) override;
    // The ADO bridge (environment_ado.cpp): the ADO server hosted on the
    // object-server thread opens and closes connections and lists a query's
    // fields; every outcome lies in ErrorText, and each returns S_OK.
    HRESULT AdoConnect(BSTR* Connect, BSTR* UserID, BSTR* Password, LONG Options,
                       VARIANT* ErrorText) override;
    HRESULT AdoClose(BSTR* Connection, VARIANT* ErrorText) override;
    HRESULT AdoQueryInfo(BSTR* Connection, BSTR* QueryDefinition, VARIANT* FieldNames,
                         VARIANT* FieldTypes, VARIANT* ErrorText) override;
    HRESULT ReplaceFormula(BSTR LibraryName, BSTR FormulaName) override;
    HRESULT SetUnitConvColl(IMvObjCollection* pColl) override;
    HRESULT GetLibraryNames(VARIANT* LibraryNames) override;
    HRESULT CreateTemporaryLibrary(IMvFormulaLibrary** pLibrary) override;
    HRESULT get_EnableStaleLibraryReload(VARIANT_BOOL* bReload) override;
    HRESULT put_EnableStaleLibraryReload(VARIANT_BOOL bReload) override;

    // The process-wide work behind the methods (library_cache.cpp,
    // calc_cache.cpp), reachable without an object.
    //
    // Removes the library of exactly that name from the map in force; S_OK.
    static HRESULT RemoveLibraryObjectInternal(BSTR name);
    // Passes the clearing of a formula's references to every library of the
    // map in force.
    static void ClearLibraryFormulaRefs(BSTR library, BSTR formula);
    // Empties every holder whose calculation is based on the formula and
    // clears the formula's reference in every other cached calculation.
    static void UnloadCalcsUsingFormula(BSTR library, BSTR formula);
    // Creates the temporary library once per process (a failed creation is
    // tried again by the next call); *out gets it with a new reference, or
    // null. S_OK.
    static HRESULT CreateTemporaryLibraryInternal(IMvFormulaLibrary** out);
    // The last-write time of Lib/<key>.mvc under the base folder.
    static bool GetLibraryLastModifiedTime(const std::string& key, FILETIME* out);
    // Records that time under the lower-cased name (nothing for a null name
    // or "builtin").
    static void StoreLibraryModifiedTime(BSTR name);
    // Whether the library was dropped as stale: when the file's time differs
    // from the process-wide record, every entry of the map in force equal to
    // the name ignoring case is dropped; an entry loaded with another time
    // than the file's is dropped too, so each thread drops its own at its
    // next check. The first check to see a change raises the library's
    // generation, which outdates what every thread and reference took from
    // it. The first check of a library records the time and drops
    // nothing; "builtin" is never checked.
    static bool ReloadLibrary(BSTR name);
    // The library files as a VT_ARRAY | VT_VARIANT of names; `out` is left
    // untouched when there are none. S_OK.
    static HRESULT GetLibraryNamesInternal(VARIANT* out);
};

class CMvPDCalcEnv : public mv::ComObjectRoot<CMvPDCalcEnv>,
                     public mv::DispatchImpl<IMvPDCalcEnv>,
                     public mv::SupportErrorInfoImpl<IMvPDCalcEnv> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvPDCalcEnv, mv::Via<IDispatch, IMvPDCalcEnv>, ISupportErrorInfo>;
    static constexpr const CLSID& kClsid = CLSID_MvPDCalcEnv;

    void FinalRelease();
    HRESULT SetPDCalc() override;
};

// The calling thread's execution buffer holding at least `size` bytes
// (created or grown as needed; its contents are not kept across growth), or
// null for a negative size. Throws std::bad_alloc when a growth cannot be
// had; the old buffer then stays.
BYTE* GetTlsExecutionBuffer(LONG size);
// Frees the calling thread's execution buffer.
void ReleaseTlsExecutionBuffer();
// The capacity of the calling thread's buffer (0 when it has none).
LONG TlsExecutionBufferSize();
// Makes the next growth of an execution buffer fail (tests).
void MvFailNextExecutionBufferGrowthForTesting();
