// IMvCalcEnvironment: the clients' door to the process-wide caches of
// active calculations and formula libraries, the unit-conversion collection,
// the per-thread execution buffer and the ADO bridge. IMvPDCalcEnv switches
// the process to per-thread library caches. Clients compile against this
// header, so the members keep the order of the interfaces' function tables.
// Each member's comment is its help string.
#pragma once

#include "comobj.h"
#include "interfaces/IMvCalculation.h"
#include "interfaces/IMvFormulaLibrary.h"
#include "interfaces/IMvObjCollection.h"
#include "interfaces/MvMorvaCalc_ids.h"

struct IMvCalcEnvironment : IDispatch {
    // "Get an active calculation object"
    virtual HRESULT GetCalcObject(BSTR Name, BSTR basedir, IMvCalculation** pCalc) = 0;
    // "Remove a calculation from the active list"
    virtual HRESULT RemoveCalcObject(BSTR Name) = 0;
    // "Load a calculation from a file"
    virtual HRESULT LoadCalculation(BSTR filename, BSTR CalcName, IMvCalculation** pCalc) = 0;
    // "Load a formula library from a file"
    virtual HRESULT LoadFormulaLibrary(BSTR filename, BSTR LibraryName,
                                       IMvFormulaLibrary** pLibrary) = 0;
    // "Get an active formula library object"
    virtual HRESULT GetLibraryObject(BSTR Name, IMvFormulaLibrary** pLibrary) = 0;
    // "Get an active formula object"
    virtual HRESULT GetFormulaObject(BSTR LibraryName, BSTR FormulaName,
                                     IMvCalculation** pFormula) = 0;
    // "Allocate execution buffer"
    virtual HRESULT GetThreadLocalBuffer(LONG BufSize) = 0;
    // "Release execution buffer"
    virtual HRESULT ReleaseThreadLocalBuffer() = 0;
    // "Remove a formula library from the active list"
    virtual HRESULT RemoveLibraryObject(BSTR Name) = 0;
    // "Make an ADO connection"
    virtual HRESULT AdoConnect(BSTR* Connect, BSTR* UserID, BSTR* Password, LONG Options,
                               VARIANT* ErrorText) = 0;
    // "Close an ADO connection"
    virtual HRESULT AdoClose(BSTR* Connection, VARIANT* ErrorText) = 0;
    // "Execute an ADO Query"
    virtual HRESULT AdoQueryInfo(BSTR* Connection, BSTR* QueryDefinition, VARIANT* FieldNames,
                                 VARIANT* FieldTypes, VARIANT* ErrorText) = 0;
    // "Update all references to a formula"
    virtual HRESULT ReplaceFormula(BSTR LibraryName, BSTR FormulaName) = 0;
    // "method SetUnitConvColl"
    virtual HRESULT SetUnitConvColl(IMvObjCollection* pColl) = 0;
    // "Get a list of library names"
    virtual HRESULT GetLibraryNames(VARIANT* LibraryNames) = 0;
    // "Get a temporary library that allows calculations to be called as formulas"
    virtual HRESULT CreateTemporaryLibrary(IMvFormulaLibrary** pLibrary) = 0;
    // "Enable to reload stale libraries"
    virtual HRESULT get_EnableStaleLibraryReload(VARIANT_BOOL* bReload) = 0;
    virtual HRESULT put_EnableStaleLibraryReload(VARIANT_BOOL bReload) = 0;

protected:
    ~IMvCalcEnvironment() = default;
};
MV_IID_OF(IMvCalcEnvironment, IID_IMvCalcEnvironment);

struct IMvPDCalcEnv : IDispatch {
    // "method SetPDCalc"
    virtual HRESULT SetPDCalc() = 0;

protected:
    ~IMvPDCalcEnv() = default;
};
MV_IID_OF(IMvPDCalcEnv, IID_IMvPDCalcEnv);

enum : DISPID {
    DISPID_MvCalcEnvironment_GetCalcObject = 1,
    DISPID_MvCalcEnvironment_RemoveCalcObject = 2,
    DISPID_MvCalcEnvironment_LoadCalculation = 3,
    DISPID_MvCalcEnvironment_LoadFormulaLibrary = 4,
    DISPID_MvCalcEnvironment_GetLibraryObject = 5,
    DISPID_MvCalcEnvironment_GetFormulaObject = 6,
    DISPID_MvCalcEnvironment_GetThreadLocalBuffer = 7,
    DISPID_MvCalcEnvironment_ReleaseThreadLocalBuffer = 8,
    DISPID_MvCalcEnvironment_RemoveLibraryObject = 9,
    DISPID_MvCalcEnvironment_AdoConnect = 0xA,
    DISPID_MvCalcEnvironment_AdoClose = 0xB,
    DISPID_MvCalcEnvironment_AdoQueryInfo = 0xC,
    DISPID_MvCalcEnvironment_ReplaceFormula = 0xD,
    DISPID_MvCalcEnvironment_SetUnitConvColl = 0xE,
    DISPID_MvCalcEnvironment_GetLibraryNames = 0xF,
    DISPID_MvCalcEnvironment_CreateTemporaryLibrary = 0x10,
    DISPID_MvCalcEnvironment_EnableStaleLibraryReload = 0x139,
    DISPID_MvPDCalcEnv_SetPDCalc = 1,
};

#define MV_CALC_ENVIRONMENT_PLAIN(Name) \
    mv::Method<&IMvCalcEnvironment::Name>(DISPID_MvCalcEnvironment_##Name, u## #Name)
#define MV_CALC_ENVIRONMENT_METHOD(Name, names) MV_CALC_ENVIRONMENT_PLAIN(Name).Names(names)
#define MV_CALC_ENVIRONMENT_BYREF(Name, names)                                             \
    mv::MethodByRef<&IMvCalcEnvironment::Name>(DISPID_MvCalcEnvironment_##Name, u## #Name) \
        .Names(names)

MV_DISPATCH_TABLE(
    IMvCalcEnvironment, MV_CALC_ENVIRONMENT_METHOD(GetCalcObject, u"Name,basedir"),
    MV_CALC_ENVIRONMENT_METHOD(RemoveCalcObject, u"Name"),
    MV_CALC_ENVIRONMENT_METHOD(LoadCalculation, u"filename,CalcName"),
    MV_CALC_ENVIRONMENT_METHOD(LoadFormulaLibrary, u"filename,LibraryName"),
    MV_CALC_ENVIRONMENT_METHOD(GetLibraryObject, u"Name"),
    MV_CALC_ENVIRONMENT_METHOD(GetFormulaObject, u"LibraryName,FormulaName"),
    MV_CALC_ENVIRONMENT_METHOD(GetThreadLocalBuffer, u"BufSize"),
    MV_CALC_ENVIRONMENT_PLAIN(ReleaseThreadLocalBuffer),
    MV_CALC_ENVIRONMENT_METHOD(RemoveLibraryObject, u"Name"),
    MV_CALC_ENVIRONMENT_BYREF(AdoConnect, u"Connect,UserID,Password,Options,ErrorText"),
    MV_CALC_ENVIRONMENT_BYREF(AdoClose, u"Connection,ErrorText"),
    MV_CALC_ENVIRONMENT_BYREF(AdoQueryInfo,
                              u"Connection,QueryDefinition,FieldNames,FieldTypes,ErrorText"),
    MV_CALC_ENVIRONMENT_METHOD(ReplaceFormula, u"LibraryName,FormulaName"),
    MV_CALC_ENVIRONMENT_METHOD(SetUnitConvColl, u"pColl"),
    MV_CALC_ENVIRONMENT_PLAIN(GetLibraryNames), MV_CALC_ENVIRONMENT_PLAIN(CreateTemporaryLibrary),
    mv::PropGet<&IMvCalcEnvironment::get_EnableStaleLibraryReload, VT_BOOL>(
        DISPID_MvCalcEnvironment_EnableStaleLibraryReload, u"EnableStaleLibraryReload"),
    mv::PropPut<&IMvCalcEnvironment::put_EnableStaleLibraryReload, VT_BOOL>(
        DISPID_MvCalcEnvironment_EnableStaleLibraryReload, u"EnableStaleLibraryReload"))

MV_DISPATCH_TABLE(IMvPDCalcEnv,
                  mv::Method<&IMvPDCalcEnv::SetPDCalc>(DISPID_MvPDCalcEnv_SetPDCalc, u"SetPDCalc"))

#undef MV_CALC_ENVIRONMENT_PLAIN
#undef MV_CALC_ENVIRONMENT_METHOD
#undef MV_CALC_ENVIRONMENT_BYREF
