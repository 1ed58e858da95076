// CMvCalculation: one calculation, and also every formula of a formula
// library. It holds the definition (what a document keeps), four child
// collections, the result and state of the last run, the per-run parameter
// table and the state the executors keep between runs.
//
// The class's members are implemented in several files:
//   calculation.cpp           identity, construction, destruction, error
//                             information, the operations that other work
//                             provides later
//   calculation_properties.cpp  definition, result and status properties,
//                             the property map
//   calculation_children.cpp  parameters, data sets, automation methods,
//                             the recipe connection, the listings
//   calculation_setup.cpp     the set-up from a library formula and the
//                             formula-detail queries
//   calculation_persist.cpp   the loads, which forget the run's parameters,
//                             and the recipe connection's XML form
//   auto_parameters.cpp       parameters from a workbook's names, binding
//                             to a historian tag
//   user_context.cpp          the refresh of the user's historian context
//   executors/vbscript_formula.cpp  the VBScript formula and the script site
//
// Locking: every text, variant and interface field a client reads or writes
// is copied or replaced under the object lock, so a client that edits a
// calculation while a run on another thread reads it never sees a text
// being freed. The lock is recursive; no member calls out of the object
// while it holds the lock, except to add a reference.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bindings/binding_definitions.h"  // its binding sets; the class spans up to bindings/
#include "comobj.h"
#include "frame/owned_string.h"
#include "interfaces/IMvCalcName.h"
#include "interfaces/IMvCalculation.h"
#include "keldrin_api.h"
#include "persistence/persist_file.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"
#include "persistence/property_map.h"
#include "script.h"
#include "sources/data_manager.h"

// The calculation running innermost on the calling thread (the top of its
// running-calculation stack), without a reference of its own; null outside
// a run.
IUnknown* MvRunningCalculation() noexcept;

// One node of a thread's running-calculation stack. A calculation carries
// one of its own, which its runs use while it is free (`Free` points at its
// mark); a node made on the heap has no mark.
struct MvRunningNode {
    IUnknown* Calculation = nullptr;  // one reference
    MvRunningNode* Below = nullptr;
    std::atomic<bool>* Free = nullptr;
};

class CMvObjCollection;
class CMvParameter;

// One record of the per-run parameter table: what the run's steps read of
// one parameter, copied when the table is built, and the parameter itself.
struct ParamInfo {
    std::string Name;
    LONG Type = 0;
    LONG ParameterType = 0;  // bit 1: input pass, bit 2: output pass
    double UnitConversionMultiplier = 0.0;
    double UnitConversionOffset = 0.0;
    LONG BindingType = 0;
    mv::ComPtr<IMvParameter> Parameter;  // counted: outlives a removal from the collection
};

// The per-run parameter table with the binding definitions that live as
// long as it does: one record per member of Parameters that is a
// parameter, in collection order. Shared: the calculation holds one share
// until its cache is cleared, and each run holds its own while it runs, so a
// clearing on another thread never frees what a run reads.
struct MvVBScriptPrepared;
struct ParamInfoTable {
    std::vector<ParamInfo> Records;
    std::unique_ptr<BindingDefinitionSet> KeldrinBindingSet;
    std::unique_ptr<BindingDefinitionSet> ProcessDataBindingSet;
    // What the VBScript formula prepared for its engines from these records
    // (executors/vbscript_formula.cpp); a run marks it busy under the
    // calculation's object lock and uses it where it lies.
    mutable std::shared_ptr<MvVBScriptPrepared> VBScriptPrepared;
    // The last look-up of "ReturnValue" in Parameters that found the cached
    // parameter: the collection it looked in and that collection's version
    // of its names then (a collection the module made has one). A run that
    // finds the same collection at the same version, and the same cached
    // parameter, knows the look-up's answer without making it. Read and
    // written under the calculation's object lock.
    struct ReturnValueLookup {
        mv::ComPtr<IMvObjCollection> Collection;
        CMvObjCollection* Names = nullptr;  // the same object, or null
        uint64_t Version = 0;
        IMvParameter* Found = nullptr;  // no reference: the cached one holds it
    };
    mutable ReturnValueLookup ReturnValueFound;
    // What each binding pass (input, then output) does with the records,
    // worked out with the table: how many of the pass's records are bound to
    // the historian and to process data, and whether any of them has a
    // binding that a handler moves. A pass without one only folds the level
    // of each of its inputs into the run's; Inputs lists them, each with the
    // module's own parameter object when it is one.
    struct BindingPass {
        bool Planned = false;  // false: the pass walks every record
        bool Bound = false;
        LONG HistorianCount = 0;
        LONG ProcessDataCount = 0;
        std::vector<std::pair<const ParamInfo*, CMvParameter*>> Inputs;
    };
    BindingPass Passes[2];
};
using ParamInfoShare = std::shared_ptr<ParamInfoTable>;

// The passes of a run.
constexpr LONG INPUT_PASS = 0;
constexpr LONG OUTPUT_PASS = 1;

// The properties of a schedule group that its scheduled times follow, and
// a group's as they stand (scheduling/calculation_schedule_times.cpp; a
// getter that fails leaves its default).
struct GroupSchedule {
    LONG dayOfMonth = 0, dayOfWeek = 0;
    DATE rate = 0.0, offset = 0.0, firstRunTime = 0.0;
    bool dayWeekOrMonth = false, day = false;
    bool operator==(const GroupSchedule&) const = default;
};
GroupSchedule ReadGroupSchedule(IMvScheduleGroup* group);

class CMvCalculation;
struct IMvFormulaRef;
struct KeldrinUst;
struct OpcServerItems;

// Seams of the run (calculation_run.cpp, binding_dispatch.cpp). Each returns
// what it replaces; null restores the built-in step, which records a run
// error naming the formula or binding kind that is not available yet.
//
// The executor of one formula kind (1 to 7).
using MvFormulaExecutor = void (*)(CMvCalculation& calc, const ParamInfoTable& table);
MvFormulaExecutor MvSetFormulaExecutor(LONG kind, MvFormulaExecutor executor);

// What the binding dispatcher hands a binding kind.
struct MvBindingCall {
    CMvCalculation* Calculation;
    LONG Pass;
    const ParamInfoTable* Table;
    const ParamInfo* Record;  // null for a step after the walk
    LONG Ordinal;             // among the pass's records of that kind, from 0
    LONG Count;               // the pass's records of that kind
    SHORT* Level;             // the pass quality; null in the output pass
    SHORT* Status;
    const void* StoreTime;
    // OPC: server name -> (item names, record indexes), for the step after
    // the walk.
    const std::map<std::string, std::vector<std::pair<std::string, LONG>>>* OpcBatches;
};
using MvBindingHandler = void (*)(const MvBindingCall& call);
// The per-record handler of binding kind 1, 4, 6, 7, 10 or 11.
MvBindingHandler MvSetBindingHandler(LONG kind, MvBindingHandler handler);
// The step after the walk of binding kind 1, 9 or 11.
MvBindingHandler MvSetBindingBatchStep(LONG kind, MvBindingHandler step);
// The data-set reader of a pass (mask 1 input, 2 output).
using MvDataSetReader = void (*)(CMvCalculation& calc, LONG mask, IMvDataSet* dataSet);
MvDataSetReader MvSetDataSetReader(MvDataSetReader reader);

// The maker of the new Parameters collection of a set-up from a library
// formula (calculation_setup.cpp); returns what it replaces, null restores
// the module's own.
using MvCollectionMaker = HRESULT (*)(mv::ComPtr<IMvObjCollection>* out);
MvCollectionMaker MvSetSetupCollectionMaker(MvCollectionMaker maker);

// The first `count` members of the collection (every member when `count` is
// below 0) as Itf, in collection order; a member that is missing or does not
// answer Itf leaves a null slot.
template <class Itf>
std::vector<mv::ComPtr<Itf>> MvMembersAs(IMvObjCollection* collection, LONG count = -1) {
    if (count < 0 && (!collection || FAILED(collection->get_Count(&count)))) count = 0;
    std::vector<mv::ComPtr<Itf>> members(static_cast<std::size_t>(count > 0 ? count : 0));
    for (LONG i = 0; collection && i < count; ++i) {
        mv::ComPtr<IDispatch> item;
        if (FAILED(collection->ItemByIndex(i + 1, item.Put())) || !item) continue;
        (void)item.As(&members[static_cast<std::size_t>(i)]);
    }
    return members;
}

// The worse of two quality levels, and the status that goes with a level.
SHORT WorseLevel(SHORT a, SHORT b) noexcept;
SHORT LevelToStatus(SHORT level) noexcept;

class CMvCalculation : public mv::ComObjectRoot<CMvCalculation>,
                       public ISupportErrorInfo,
                       public IActiveScriptSite,
                       public mv::DispatchImpl<IMvCalculation>,
                       public IMvPersistStreamImpl<CMvCalculation>,
                       public IMvCalcName,
                       public IMvCalculation3,
                       public IMvPersistXMLImpl<CMvCalculation>,
                       public IMvPersistFileImpl<CMvCalculation, 'C'> {
public:
    using InterfaceMap =
        mv::Interfaces<IMvCalculation, mv::Via<IDispatch, IMvCalculation>, ISupportErrorInfo,
                       IActiveScriptSite, IPersistStream, IMvCalcName, IMvCalculation3,
                       IMvPersistFile, IMvPersistXML>;
    static constexpr const CLSID& kClsid = CLSID_MvCalculation;
    static constexpr const char* kMvClassName = "CMvCalculation";
    static constexpr const char16_t* kProgId = u"Morva.Calc.Calculation.1";

    static const PropertyMapEntry* GetPropertyMap();
    static const CLSID& GetObjectCLSID() { return CLSID_MvCalculation; }

    CMvCalculation() noexcept;
    ~CMvCalculation() override;
    HRESULT FinalConstruct();

    // ISupportErrorInfo: S_OK for IMvCalculation alone.
    HRESULT InterfaceSupportsErrorInfo(REFIID riid) override;
    // The store-and-forward decision and run (scheduling/store_forward.cpp).
    virtual HRESULT CheckOrCalculateStoreForward(VARIANT_BOOL Enabled,
                                                 IMvScheduleGroup* ScheduleGroup,
                                                 VARIANT_BOOL Check);

    // IActiveScriptSite: the calculation is the script site of its VBScript
    // formula (executors/vbscript_formula.cpp). Items are its parameters,
    // then its formula references, by name.
    HRESULT GetLCID(LCID* plcid) override;
    HRESULT GetItemInfo(LPCOLESTR pstrName, DWORD dwReturnMask, IUnknown** ppiunkItem,
                        ITypeInfo** ppti) override;
    HRESULT GetDocVersionString(BSTR* pbstrVersion) override;
    HRESULT OnScriptTerminate(const VARIANT* pvarResult, const EXCEPINFO* pexcepinfo) override;
    HRESULT OnStateChange(SCRIPTSTATE ssScriptState) override;
    HRESULT OnScriptError(IActiveScriptError* pscripterror) override;
    HRESULT OnEnterScript() override;
    HRESULT OnLeaveScript() override;

    // IMvCalculation, in interface order.
    HRESULT get_Description(BSTR* pVal) override;
    HRESULT put_Description(BSTR newVal) override;
    HRESULT get_CreationDate(DATE* pVal) override;
    HRESULT put_CreationDate(DATE newVal) override;
    HRESULT get_ModifiedDate(DATE* pVal) override;
    HRESULT put_ModifiedDate(DATE newVal) override;
    HRESULT get_ID(BSTR* pVal) override;
    HRESULT put_ID(BSTR newVal) override;
    HRESULT get_Password(LONG* pVal) override;
    HRESULT put_Password(LONG newVal) override;
    HRESULT get_LastExecution(DATE* pVal) override;
    HRESULT put_LastExecution(DATE newVal) override;
    HRESULT get_CalculateTime(DOUBLE* pVal) override;
    HRESULT put_CalculateTime(DOUBLE newVal) override;
    HRESULT get_SandBoxMode(LONG* pVal) override;
    HRESULT put_SandBoxMode(LONG newVal) override;
    HRESULT get_EditOwner(BSTR* pVal) override;
    HRESULT put_EditOwner(BSTR newVal) override;
    HRESULT get_BeingCalculated(LONG* pVal) override;
    HRESULT put_BeingCalculated(LONG newVal) override;
    HRESULT get_Value(VARIANT* pVal) override;
    HRESULT put_Value(VARIANT newVal) override;
    HRESULT get_Level(SHORT* pVal) override;
    HRESULT put_Level(SHORT newVal) override;
    HRESULT get_Status(SHORT* pVal) override;
    HRESULT put_Status(SHORT newVal) override;
    HRESULT get_ErrorText(BSTR* pVal) override;
    HRESULT put_ErrorText(BSTR newVal) override;
    HRESULT get_ErrorPosition(LONG* pVal) override;
    HRESULT put_ErrorPosition(LONG newVal) override;
    HRESULT get_LibraryName(BSTR* pVal) override;
    HRESULT put_LibraryName(BSTR newVal) override;
    HRESULT get_FormulaName(BSTR* pVal) override;
    HRESULT put_FormulaName(BSTR newVal) override;
    HRESULT get_FormulaType(LONG* pVal) override;
    HRESULT put_FormulaType(LONG newVal) override;
    HRESULT get_FormulaTypeText(BSTR* pVal) override;
    HRESULT put_FormulaTypeText(BSTR newVal) override;
    HRESULT get_ScriptText(BSTR* pVal) override;
    HRESULT put_ScriptText(BSTR newVal) override;
    HRESULT get_Name(BSTR* pVal) override;
    HRESULT put_Name(BSTR newVal) override;
    HRESULT get_FunctionName(BSTR* pVal) override;
    HRESULT put_FunctionName(BSTR newVal) override;
    HRESULT get_DllName(BSTR* pVal) override;
    HRESULT put_DllName(BSTR newVal) override;
    HRESULT get_ExcelFileName(BSTR* pVal) override;
    HRESULT put_ExcelFileName(BSTR newVal) override;
    HRESULT get_ProgramName(BSTR* pVal) override;
    HRESULT put_ProgramName(BSTR newVal) override;
    HRESULT get_OLEObjectName(BSTR* pVal) override;
    HRESULT put_OLEObjectName(BSTR newVal) override;
    HRESULT get_Parameters(IMvObjCollection** pVal) override;
    HRESULT get_DataSets(IMvObjCollection** pVal) override;
    HRESULT get_FormulaRefs(IMvObjCollection** pVal) override;
    HRESULT get_OleMethods(IMvObjCollection** pVal) override;
    HRESULT get_DravikConnect(IMvDravikConnect** pVal) override;
    HRESULT put_DravikConnect(IMvDravikConnect* newVal) override;
    // calculation_children.cpp
    HRESULT AddParameter(BSTR Name, IMvParameter** pDisp) override;
    HRESULT GetParameter(BSTR Name, IMvParameter** pDisp) override;
    HRESULT Calculate() override;
    HRESULT AddDataSet(BSTR Name, IMvDataSet** pDisp) override;
    HRESULT GetDataSet(BSTR Name, IMvDataSet** pDisp) override;
    HRESULT Execute() override;
    HRESULT GetFormulaRef(BSTR Name, IDispatch** pDisp) override;
    HRESULT ClearCache() override;
    HRESULT RemoveAllParameters() override;
    HRESULT AddOLEMethod(BSTR Name, IMvCalcOLEMethod** pMethod) override;
    HRESULT GetOLEMethod(BSTR Name, IMvCalcOLEMethod** pMethod) override;
    HRESULT AddFormulaRef(BSTR Name, BSTR LibraryName, IDispatch** pDisp) override;
    HRESULT GetFormula(BSTR FormulaName, IMvCalculation** pFormula, LONG* Count) override;
    HRESULT GetFormulaDetails(BSTR* FormulaName, BSTR* Description, BSTR* FormulaType) override;
    HRESULT SetCalcFromFormula() override;
    HRESULT FormulaDetailsArray(VARIANT* pDetailsArray) override;
    HRESULT IsBasedOnFormula(BSTR LibraryName, BSTR FormulaName) override;
    HRESULT ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) override;
    HRESULT AllocateCopy(IMvCalculation** pFormula, LONG RecursionCount) override;
    HRESULT DeallocateCopy() override;
    HRESULT SetCalcFromFormulaP(IMvCalculation* pFormula) override;
    HRESULT get_OnSchedule(SHORT* pVal) override;
    HRESULT put_OnSchedule(SHORT newVal) override;
    HRESULT get_CalculationStatus(SHORT* pVal) override;
    HRESULT CreateDravikConnect() override;
    HRESULT UnloadExcelFile() override;
    HRESULT SaveExcelFile() override;
    HRESULT ExcelAutoAddParameters() override;
    HRESULT get_CloseExcelAfterExecuting(SHORT* pVal) override;
    HRESULT put_CloseExcelAfterExecuting(SHORT newVal) override;
    HRESULT get_EnableStoreAndForward(VARIANT_BOOL* pVal) override;
    HRESULT put_EnableStoreAndForward(VARIANT_BOOL newVal) override;
    HRESULT CalculateStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) override;
    HRESULT GetScheduledTime(DATE* ReturnValue) override;
    HRESULT GetScheduledTimeUtc(DATE* ReturnValue) override;
    HRESULT CalculateMissingHistory(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) override;
    HRESULT get_StoreForwardStatus(BSTR* pVal) override;
    HRESULT get_IsStoreForwardHistoryMode(VARIANT_BOOL* pVal) override;
    HRESULT CheckStoreForward(VARIANT_BOOL Enabled, IMvScheduleGroup* ScheduleGroup) override;

    // IMvCalculation3 (calculation_children.cpp)
    HRESULT MarkParametersUnused() override;
    HRESULT ListUnusedParameters(VARIANT* pVarList) override;
    HRESULT CreateCorvexParams(BSTR bAutoBindServers, VARIANT* pUnused, VARIANT* pUnbound) override;
    HRESULT ListParameterDetails(VARIANT* pDetails) override;
    HRESULT RefreshUserContext() override;

    // IPersistStream::Load and IMvPersistXML::LoadXML (calculation_persist.cpp,
    // the file form loads through Load): a document brings its own
    // parameters, so every load ends, whether it succeeded or not, with the
    // run's table and the cached "ReturnValue" let go. An XML element
    // holding the recipe connection's settings is read into a new one.
    HRESULT Load(IStream* pStm) override;
    HRESULT LoadXML(IXMLDOMNode* node) override;

    // IMvCalcName: the calculation's Name.
    HRESULT get_ObjectName(BSTR* pName) override;
    HRESULT put_ObjectName(BSTR name) override;

    // Rebuilding the parameters from a library formula (calculation_children.cpp).
    // Adds to `target` the calculation's own parameter of the formula
    // parameter's name (a new one when there is none), refreshed from it.
    HRESULT AddParameterFromFormula(IMvObjCollection* target, IMvParameter* source);
    // Copies the formula parameter's definition onto the calculation's; the
    // formula's Default becomes the Value of a parameter that is new.
    HRESULT CopyFormulaParameterDetails(IMvParameter* target, IMvParameter* source, bool existed);

    // Set-up from a library formula (calculation_setup.cpp).
    // Rebuilds Parameters as the formula's parameters in the formula's
    // order, reusing the calculation's own parameter of each name; a member
    // that is no parameter, or (unless strict) a parameter that cannot be
    // added, is skipped. Parameters stays as it was when the new collection
    // cannot be made (that failure is returned) or, with strict, when a
    // parameter cannot be added (E_FAIL). A formula without parameters
    // changes nothing.
    HRESULT SetParametersFromFormula(IMvCalculation* formula, bool strict = false);
    // The whole set-up of SetCalcFromFormulaP. With strict, the first step
    // that fails ends it and its failure is returned; otherwise each failing
    // step leaves its part as it was and the result is S_OK.
    HRESULT SetUpFromFormula(IMvCalculation* formula, bool strict);

    // Automatic parameters (auto_parameters.cpp). None reports a failure.
    // The spreadsheet form: a VT_ARRAY | VT_VARIANT list whose elements 1
    // and 2 are string arrays of cell names and cell contents.
    void AutoAddParameters(VARIANT* list, BSTR sheetName);
    void AutoAddParameters(SAFEARRAY* names, SAFEARRAY* contents, BSTR sheetName);
    // Links the parameter of that name (made when missing) to the cell of
    // that name: an output when the content is a formula, else an input.
    void AutoAddParameter(BSTR name, BSTR content, BSTR sheetName);
    // Binds an unbound parameter to the historian tag of its name on the
    // server "name[:group]" as the scripting library finds it; a tag that
    // cannot be found leaves the parameter as it was. S_OK, or E_UNEXPECTED
    // when an exception escapes.
    HRESULT AutoBindParameter(IMvParameter* parameter, BSTR servers);

    // The refresh of the user's context on each listed historian node
    // (user_context.cpp); failures are appended to the error text. S_OK, or
    // E_UNEXPECTED when an exception escapes.
    HRESULT RefreshUserContextList(const std::vector<std::string>& nodes,
                                   const std::vector<LONG>& groups);

    // The run's error text (calculation_errors.cpp). SetError replaces it,
    // AddError appends to it (no separator); a text left non-empty is logged
    // as two error lines. Both hold the object lock throughout. Every writer
    // of a failure text marks the run failed before the text grows, so that
    // a failure whose text is lost for lack of memory still counts.
    void SetError(const std::string& text);
    void SetError(const char* text);
    void AddError(const std::string& text);
    void AddError(const char* text);
    // Appends a line to the error text (a line feed before it unless the
    // text is empty), under the object lock; nothing is logged.
    void AppendErrorLine(const std::string& text);

    // The run (calculation_run.cpp). The run driver: S_OK whether the run
    // succeeded or not (its failures are in ErrorText); E_OUTOFMEMORY when
    // it failed and its text was lost for lack of memory; E_UNEXPECTED only
    // when an exception escaped outside the guarded passes.
    HRESULT Calculate(IMvScheduleGroup* group);

    // The group's schedule in historian times (scheduling/
    // calculation_schedule_times.cpp). A start of no time leaves the result
    // as it was. The last scheduled time from start not later than limit
    // (start itself when the next one is later); the next one after start;
    // the previous one (for interval groups the grid point nearest start).
    void GetLastScheduledTime(IMvScheduleGroup* group, const KeldrinTime* start,
                              const KeldrinTime* limit, KeldrinTime* result);
    void GetNextScheduledTime(IMvScheduleGroup* group, const KeldrinTime* start,
                              KeldrinTime* result);
    void GetPreviousScheduledTime(IMvScheduleGroup* group, const KeldrinTime* start,
                                  KeldrinTime* result);
    // start plus the rate (days) in whole minutes, stepped in local days and
    // tenths of a second, so that a daily run keeps its local time of day.
    void GetNextScheduledDay(double rate, const KeldrinTime* start, KeldrinTime* result);
    // Runs the formula by its kind on the run's share of the parameter table
    // (the calculation's own, built when missing, when none is given). The
    // kind is the one the caller read at the run's start, or 0 to read it
    // here.
    HRESULT ExecuteFormula(const ParamInfoShare& given = nullptr, LONG kind = 0);
    HRESULT InitOutputParameterStatus(const ParamInfoTable& table, SHORT* level, SHORT* status);
    void ClearChangedFlags(const ParamInfoTable& table);
    // Seconds since `start` (a tick count), across a wrap of the counter.
    static double GetTimeElapsed(const DWORD& start);
    // The current local time in whole seconds; *valid false when it cannot
    // be converted.
    static DATE CurrentDateTime(bool* valid = nullptr);
    // Appends "%.16f" of the value (below 1e16) or "%.16e" to the text.
    static void AppendDoubleToBstr(mv::Bstr& text, const double& value);

    // The VBScript formula (executors/vbscript_formula.cpp): one engine per
    // run, with the table's parameters and the formula references as named
    // items. Failures land in the error text; each step answers whether the
    // next may run. With `prepared`, the built-in engine takes the text and
    // the parameters' items as prepared in an earlier run.
    void ExecuteVBScript(const ParamInfoTable& table);
    HRESULT SetVBScriptSite(IActiveScript* engine);
    HRESULT LoadVBScript(IActiveScript* engine, MvVBScriptPrepared* prepared);
    HRESULT AddVBScriptParameters(IActiveScript* engine, const ParamInfoTable& table,
                                  MvVBScriptPrepared* prepared);
    HRESULT AddVBScriptFormulas(IActiveScript* engine, MvVBScriptPrepared* prepared);

    // The parameter table (param_info.cpp). SetupParamInfo builds it from
    // Parameters (a member that is no parameter is skipped); ClearParamInfo
    // drops the calculation's share with the automation objects, the rest of
    // the copy chain's caches and the data sets' connections.
    // SetupParamInfo returns the table it stored (null when it failed), which
    // another thread may clear at once: the caller runs on that share.
    ParamInfoShare SetupParamInfo();
    void ClearParamInfo();
    void DisconnectDataSets();
    void ClearThreadDataArrays();
    // The calculation's share of the table, null when there is none.
    ParamInfoShare ParamInfoSnapshot();
    // Adds an automation object of another thread to the cache (the object
    // gives its reference to the cache).
    void AddThreadOleObject(IDispatch* object, DWORD thread);

    // The automation-object formula (executors/ole_execute.cpp,
    // executors/ole_calls.cpp): the calling thread's object from the cache
    // (created when it has none), then the property writes, the method calls
    // and the property reads, each only when the one before succeeded.
    void OLE_Execute();
    HRESULT CreateOleObject(IDispatch** object, std::string& message);
    HRESULT SetOLEProps(IDispatch* object);
    HRESULT CallOLEMethods(IDispatch* object);
    HRESULT CallOLEMethod(IDispatch* object, IMvCalcOLEMethod* method, IMvParameter* returnValue);
    HRESULT GetOLEProps(IDispatch* object);
    LONG GetDispId(IDispatch* object, IMvCalcOLEMethod* method);
    // Forgets the looked-up member of every automation method description,
    // since the next object may be of another class.
    void ResetOleDispIds();

    // The binding dispatcher (binding_dispatch.cpp). A pass that throws
    // fails the run: the exception's text is appended to the error text.
    void ProcessDataBindings(const ParamInfoTable& table, LONG pass, SHORT* level, SHORT* status,
                             const void* storeTime);
    void ProcessDataSets(LONG pass);
    void AccumulateParameterLevel(const ParamInfo& record, SHORT* level, SHORT* status);
    // Works out the table's binding passes (binding_dispatch.cpp).
    static void PlanBindingPasses(ParamInfoTable& table);

    // Process-data bindings (bindings/process_data_bindings.cpp), on the
    // run's share of the table. The resolver fills the definition at
    // `ordinal` of the direction's list (0 input, else output) of `count`
    // while the list is unused; the passes return 0, or -1 with the failure
    // in the error text.
    void ProcessProcessDataBindingDefinitions(const ParamInfoTable& table, LONG direction,
                                              LONG count, const ParamInfo* record, LONG ordinal);
    LONG ReadProcessDataBindings(const ParamInfoTable& table, SHORT* level, SHORT* status);
    LONG ReadProcessDataValues(BindingDefinitionSet& set, SHORT* level, SHORT* status);
    LONG WriteProcessDataBindings(const ParamInfoTable& table);
    LONG GatherProcessDataValues(BindingDefinitionSet& set);
    LONG WriteProcessDataValues(BindingDefinitionSet& set);
    // The dispatcher's process-data steps: the resolver in the walk, the
    // read or write after it.
    static void ProcessDataBindingHandler(const MvBindingCall& call);
    static void ProcessDataBatchStep(const MvBindingCall& call);

    // Recipe bindings (bindings/dravik_bindings.cpp): reads (pass 0) or
    // writes one recipe-bound parameter, appending any failure as a line of
    // the error text; the dispatcher's kind-7 step.
    void ProcessDravikBinding(LONG pass, const ParamInfo& record, SHORT* level, SHORT* status);
    static void DravikBindingHandler(const MvBindingCall& call);

    // Message-bus publishing (bindings/quenbus_publishing.cpp). PublishResults
    // sends one document for an output bound to the bus, setting the
    // process's adapter up first when there is none; the pass quality is
    // left alone and failures land in the error text only. The document
    // steps fill the given element and record their own failure text; the
    // document is left null when any step fails. A part of the document
    // that could not be read or made for lack of memory throws
    // std::bad_alloc, and nothing is sent (the dispatcher fails the run).
    void PublishResults(const ParamInfo& record, SHORT* level, SHORT* status);
    static void QuenbusBindingHandler(const MvBindingCall& call);
    HRESULT BuildProcessItemInformationDocument(const ParamInfo& record, BSTR header,
                                                BSTR* document);
    HRESULT BuildProcessItemInformationBody(const ParamInfo& record, IXMLDOMDocument* doc,
                                            IXMLDOMNode* root);
    HRESULT AppendProcessItemInformationProperties(const ParamInfo& record, IXMLDOMDocument* doc,
                                                   IXMLDOMNode* properties);
    HRESULT AppendProcessItemGroup(const ParamInfo& record, IXMLDOMDocument* doc,
                                   IXMLDOMNode* group);
    HRESULT AppendItemID(const ParamInfo& record, IXMLDOMDocument* doc, IXMLDOMNode* item);
    HRESULT AppendDataQualityRecord(const ParamInfo& record, IXMLDOMDocument* doc,
                                    IXMLDOMNode* qualityRecord);
    HRESULT AppendTimeStampValueList(const ParamInfo& record, IXMLDOMDocument* doc,
                                     IXMLDOMNode* list);
    // One element of the qualified name (in `uri`, or by its prefixed name
    // alone when null) holding the current UTC time.
    HRESULT AppendTimeStampNode(const ParamInfo& record, IXMLDOMDocument* doc, IXMLDOMNode* parent,
                                const char16_t* name, const char16_t* uri);
    // VT_BSTR: "short", "int", "float", "double", "dateTime", "boolean" by
    // the value's type, "string" for every other; std::bad_alloc when the
    // text cannot be made.
    static void QuenbusDataTypeName(const VARIANT* value, VARIANT* name);

    // OPC bindings (bindings/opc_bindings.cpp), on the run's share of the
    // table; failures go to the error text only, the result is S_OK.
    HRESULT ReadOpcBindings(const ParamInfoTable& table,
                            const std::map<std::string, OpcServerItems>& map, SHORT* worstLevel,
                            SHORT* worstStatus);
    HRESULT WriteOpcBindings(const ParamInfoTable& table,
                             const std::map<std::string, OpcServerItems>& map);
    // The dispatcher's OPC step after the walk: the read or the write.
    static void OpcBatchStep(const MvBindingCall& call);

    // Whether the error text is empty, read under the lock.
    bool HasError();

    // The calling thread's running-calculation stack (calculation_copies.cpp):
    // PushToTLS puts this calculation on top, PopFromTLS takes the top node
    // off, whichever calculation it holds (nothing on an empty stack).
    void PushToTLS();
    static void PopFromTLS();

    // Historian bindings (bindings/keldrin_bindings.cpp), on the run's share
    // of the table. The resolver fills and resolves the definition at
    // `ordinal` of the direction's list (0 input, else output) of `count`;
    // the passes return 0, or 1 when a batch failed (its text in the error
    // text). A store time is the time every written value carries.
    void ProcessKeldrinBindingDefinitions(const ParamInfoTable& table, LONG direction, LONG count,
                                          const ParamInfo& record, LONG ordinal);
    LONG ReadKeldrinBindings(const ParamInfoTable& table, SHORT* level, SHORT* status);
    LONG ReadKeldrinCurrentValues(BindingDefinitionSet& set);
    void StoreKeldrinValues(BindingDefinitionSet& set, SHORT* level, SHORT* status);
    LONG WriteKeldrinBindings(const ParamInfoTable& table, const KeldrinUst* storeTime);
    void PrepareKeldrinWrite(BindingDefinitionSet& set);
    LONG WriteKeldrinValues(BindingDefinitionSet& set, const KeldrinUst* storeTime);
    // The dispatcher's historian steps: the resolver in the walk, the read or
    // write after it.
    static void KeldrinBindingHandler(const MvBindingCall& call);
    static void KeldrinBatchStep(const MvBindingCall& call);

    // Calculation bindings (bindings/calculation_bindings.cpp): the input
    // takes the value, level and status of the calculation its
    // CalculationName names, run first.
    void ReadCalculationBinding(LONG pass, const ParamInfo& record, SHORT* level, SHORT* status);
    void RunBoundCalculation(const ParamInfo& record, IMvCalculation* bound, BSTR name,
                             SHORT* level, SHORT* status);
    static void CalculationBindingHandler(const MvBindingCall& call);

    // Data-set bindings (bindings/data_set_bindings.cpp): the input pass
    // fills each data set from its ADO query (the dispatcher's data-set
    // reader), then an input bound to a data set reads one of its cells.
    static void ReadAdoDataSets(CMvCalculation& calc, LONG mode, IMvDataSet* dataSet);
    void ReadDataSetBinding(LONG pass, const ParamInfo& record, SHORT* level, SHORT* status);
    static void DataSetBindingHandler(const MvBindingCall& call);

    // The store-and-forward state (0 to 6), written by the store-and-forward
    // driver alone.
    void SetStoreForwardState(LONG state);

    // The external-program formula (executors/exe_formula.cpp): runs
    // ProgramName with each parameter's switch and value after "ReturnValue".
    void EXE_Execute(const ParamInfoTable& table);
    // The value as text by the variant conversion; "" when it does not
    // convert. The value itself is not changed. Running out of memory throws
    // std::bad_alloc.
    static void SaveVARIANT(const VARIANT& value, std::string& text);
    // The DLL formula (executors/dll_formula.cpp). LookupDllFunction loads
    // DllName and finds FunctionName in it (true when found); once found,
    // the function stays for the object's life. CallDllFunction calls it and
    // stores its result in "ReturnValue"; running out of memory throws
    // std::bad_alloc (the run fails).
    bool LookupDllFunction();
    void CallDllFunction();
    // The spreadsheet formula (executors/excel_formula.cpp): writes the
    // inputs into the workbook ExcelFileName, runs the commands, has the
    // named sheets recalculated when there was neither, and reads the
    // outputs back; failures are appended to the error text at the end.
    void Excel_Execute(const ParamInfoTable& table);
    // Recalculates each sheet once per run of consecutive entries naming it.
    void calculate_excel_sheets(IDispatch* server, BSTR workbook,
                                const std::vector<mv::Bstr>& sheets);
    // ExcelFileName and, when it is not empty, the spreadsheet server (null
    // when it cannot be had).
    std::pair<std::string, mv::ComPtr<IDispatch>> ExcelFileAndServer();

    // The Corvex script formula (executors/corvex_formula.cpp): the library
    // runs ScriptText against the calculation (kind 7 with the on-demand
    // flag); a missing library or an exception from it leaves a run error.
    void ExecuteCorvex(bool onDemand);
    // The discovery loop over a parse and one discovered parameter: created
    // or re-typed, and bound in binding mode while the error text is empty.
    void AddCorvexParams(void* handle, BSTR servers);
    void AddCorvexParameter(const char* name, const char* node, const char* record, LONG type,
                            BSTR servers, double offset);
    // The parameter type of a kind the library lists (1 to 4; others unused).
    static LONG CorvexParameterType(LONG kind);
    // InUse 0 on every formula reference; removal of those still at 0.
    void MarkFormulaRefsUnused();
    void RemoveUnusedFormulaRefs();
    // Formula look-up by name (environment/calc_formula_refs.cpp).
    // FindFormula: the temporary library's formula of that name alone
    // (*libraryName null) when it holds one; else the one formula of that
    // name among the library files under the base folder, each loaded into
    // the library cache. *count is the number of libraries that hold it;
    // any other count than 1 gives E_FAIL and no formula.
    HRESULT FindFormula(BSTR FormulaName, IMvCalculation** formula, BSTR* libraryName, LONG* count);
    // The formula found, filed as a new reference (added through the
    // interface) that holds it; null and the failure otherwise.
    HRESULT CreateFormulaRef(BSTR FormulaName, IMvFormulaRef** reference, LONG* count);
    // With stale-library reload on: when the library of the reference of
    // that name was rewritten since it was loaded, drops the library, the
    // formulas that references into it hold, and this reference.
    HRESULT ReloadStaleLibraryIfNeeded(BSTR Name);
    // Replaces the error text through the locked setter, without the run's
    // error lines.
    void PutErrorTextA(const char* text);

    // The store time of a run stamped with a scheduled time (seconds and
    // microseconds since 1970); null for none.
    void SetStoreTime(const LONG* time);

    // Store-and-forward (scheduling/store_forward.cpp), on the run's share of
    // the parameter table. Times are historian times, none being a first word
    // of all ones. The oldest time of the historian inputs that take part,
    // their number and how many of them have no time; the newest of the
    // times the historian holds for the historian-bound outputs; one
    // output's current time read into `record`. An exception in any of them is appended to the
    // error text and gives E_UNEXPECTED (a read that threw leaves a failed status in `err`);
    // GetLastCalculatedTime gives E_FAIL, with the last failing output's read error appended, when
    // every output that gives a time failed its read.
    HRESULT GetOldestInputTime(const ParamInfoTable& table, KeldrinTime* oldest, LONG* count,
                               LONG* untimed);
    HRESULT GetLastCalculatedTime(const ParamInfoTable& table, IMvScheduleGroup* group,
                                  KeldrinTime* last);
    HRESULT GetOutputParamTime(const BindingDefinition& d, SHORT requestType, BYTE* record,
                               KeldrinErrorBlock* err);
    // The back half of a run (output reset, formula, output passes) with the
    // historian outputs stamped with storeTime (null: written as current
    // values), which the formula sees as its scheduled time. An exception
    // that escapes it is appended to the error text.
    void ExecuteAndStore(const ParamInfoShare& table, SHORT* level, SHORT* status,
                         const KeldrinUst* storeTime);
    // Whether a historian field type has a form with status, level and time.
    static bool DataTypeHasQT(LONG fieldType);
    // Runs the calculation once per scheduled time on its inputs' history
    // from begin (not run again) to end; *last receives the time of the last
    // sample run or skipped. An input read raw (its server older than 11.3)
    // takes its last sample at or before each scheduled time. A sample at
    // which an input has no value is skipped. Each run's outputs start with
    // the quality of its own samples and of the inputs that keep their
    // current value. Sets the resume stamp to begin and moves it past each
    // sample run without error or skipped. A failure, thrown ones included,
    // is left in the error text.
    void ExecuteOnHistory(const ParamInfoShare& table, IMvScheduleGroup* group,
                          const KeldrinTime* begin, const KeldrinTime* end, KeldrinTime* last);
    // Lowers *earliest to the earliest of the inputs' newest history times;
    // E_UNEXPECTED with the error text set when a read failed.
    HRESULT FindEarliestRecentHistoryTime(const ParamInfoTable& table, KeldrinTime* earliest);

private:
    struct RunMark;
    struct ForgetOnExit;
    // Replaces (append false) or extends the error text without a log line.
    void AppendErrorQuietly(const std::string& text, bool append);
    // The run failure beside the error text, under the object lock: marked
    // (also where no text can be had), both cleared for a new run, and
    // whether either tells of a failure.
    void MarkFailed() noexcept;
    void ClearErrorLocked() noexcept;
    bool FailedLocked() const noexcept { return m_Failed || !m_ErrorText.empty(); }
    // The resume stamp, under the object lock: dropped; set (with a group,
    // on that group's schedule); read for a group, which drops it when the
    // group or its schedule is not the one it was set on.
    void DropResumeStamp();
    void SetResumeStamp(const KeldrinTime& time, IMvScheduleGroup* group = nullptr);
    bool ResumeStampFor(IMvScheduleGroup* group, KeldrinTime* stamp);
    // Copies the "ReturnValue" parameter's value, level and status into the
    // calculation's own (under the lock; the second with the lock held).
    void TakeReturnValue();
    void TakeReturnValueLocked();
    // GetScheduledTime (utc false) and GetScheduledTimeUtc.
    HRESULT ScheduledTimeOf(const char* name, bool utc, DATE* out);
    // The formula function found for the DLL formula, null until found.
    void* DllFunction();

    // Replaces (append false) or extends the error text and logs it under
    // `name`.
    void WriteError(const char* name, const char* text, bool append);

    // Re-creates the "ReturnValue" parameter (type Variant, direction
    // ReturnValue) in Parameters.
    HRESULT CreateReturnValueParameter();
    // Lets go of the run's table and of the cached "ReturnValue" once the
    // parameters they name have been let go; the next run looks both up
    // again (calculation_persist.cpp).
    void ForgetRunParameters();
    // LoadXML's work, run in MvGuardedCall.
    HRESULT LoadXMLWithConnection(IXMLDOMNode* node);
    // ForgetRunParameters when the cached "ReturnValue" is no longer the
    // member of that name in Parameters (a client removed or added it
    // through the collection).
    void ForgetStaleReturnValue();
    // Whether the table's last look-up of "ReturnValue" still holds (see
    // ParamInfoTable::ReturnValueFound), so that ForgetStaleReturnValue has
    // nothing to do. Under the object lock.
    bool ReturnValueStillFiledLocked() const noexcept;

    // The calculation_children.cpp helpers.
    template <class Itf>
    HRESULT GetChild(IMvObjCollection* collection, BSTR name, Itf** out);
    HRESULT GetParamDetails(IMvParameter* parameter, VARIANT* row);
    // A held collection with a reference for the caller.
    mv::ComPtr<IMvObjCollection> Collection(const mv::ComPtr<IMvObjCollection>& field);

    // Field access under the object lock (calculation_properties.cpp).
    HRESULT GetText(const char* name, const std::string& field, BSTR* pVal);
    HRESULT PutText(const char* name, std::string& field, BSTR newVal);
    // PutText for the library or function name of the DLL formula, which
    // also forgets the function found under the old names.
    HRESULT PutDllText(const char* name, std::string& field, BSTR newVal);
    template <class T>
    HRESULT GetDefinition(const char* name, const T& field, T* pVal);
    template <class T>
    HRESULT GetState(const char* name, const T& field, T* pVal);
    template <class T>
    HRESULT PutNumber(const char* name, T& field, T newVal);

    // Fields in the order of the design; each named by the property it
    // backs. Texts are UTF-8.
    VARIANT m_Value;  // never VT_BYREF
    DATE m_CreationDate = 0.0;
    DATE m_ModifiedDate = 0.0;
    DATE m_LastExecution = 0.0;
    DOUBLE m_CalculateTime = 0.0;
    std::string m_Name;
    std::string m_Description;
    std::string m_ID;
    LONG m_Password = 0;
    LONG m_SandBoxMode = 0;
    std::string m_EditOwner;
    LONG m_BeingCalculated = 0;
    MvRunningNode m_RunningNode;
    std::atomic<bool> m_RunningNodeFree{true};
    SHORT m_Level = 0;
    SHORT m_Status = 0;
    std::string m_ErrorText;
    bool m_Failed = false;  // the run failed, whether or not its text could be stored
    LONG m_ErrorPosition = 0;
    std::string m_LibraryName;
    std::string m_FormulaName;
    LONG m_FormulaType = mvcSimpleScript_Method;
    std::string m_ScriptText;
    mv::ComPtr<IMvObjCollection> m_Parameters;
    mv::ComPtr<IMvObjCollection> m_DataSets;
    mv::ComPtr<IMvObjCollection> m_FormulaRefs;
    mv::ComPtr<IMvObjCollection> m_OleMethods;
    IMvDravikConnect* m_DravikConnect = nullptr;  // one reference, or null
    std::string m_DllName;
    std::string m_FunctionName;
    std::string m_ExcelFileName;
    std::string m_ProgramName;
    std::string m_OLEObjectName;
    SHORT m_OnSchedule = 0;
    SHORT m_CloseExcelAfterExecuting = 0;
    VARIANT_BOOL m_EnableStoreAndForward = VARIANT_FALSE;
    LONG m_StoreForwardState = 0;
    MvDataManager m_ProcessDataManager;
    IMvScheduleGroup* m_RunScheduleGroup = nullptr;  // no reference
    LONG m_StoreTime[2] = {-1, -1};                  // first word -1: none
    // Where the next catch-up resumes: the last scheduled time the history
    // runs have finished, on the group and schedule it was found on; first
    // word all ones: none, the outputs' times decide. Dropped by every other
    // write of the outputs and by a new parameter table.
    KeldrinTime m_ResumeStamp{KELDRIN_TIME_NONE_WORD, KELDRIN_TIME_NONE_WORD};
    const void* m_ResumeGroup = nullptr;
    GroupSchedule m_ResumeSchedule;
    ParamInfoShare m_ParamInfo;                      // the table, its count and the binding sets
    IMvParameter* m_ReturnValueParameter = nullptr;  // one reference, or null
    void* m_DllFunction = nullptr;
    IDispatch* m_FirstOleObject = nullptr;  // one reference, or null
    DWORD m_FirstOleObjectThread = 0;
    std::recursive_mutex m_OleLock;
    std::vector<IDispatch*> m_ThreadOleObjects;
    std::vector<DWORD> m_ThreadOleObjectThreadIds;
    LONG m_DataSetCount = 0;
    uint64_t m_ThreadOleObjectsCreated = 0;
    DWORD m_CopyOwnerThread = 0;
    IMvCalculation* m_NextCopy = nullptr;  // one reference, or null
};
