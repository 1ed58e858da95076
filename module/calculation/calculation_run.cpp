// The run: the run driver, the formula dispatch, Execute on a copy,
// ClearCache, the two parameter preparations and the run's clock helpers.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>

#include "calculation/calculation.h"
#include "calculation/run_mark.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "parameters/enum_texts.h"

namespace {

constexpr const char* kCalculate = "CMvCalculation::Calculate";

void WriteStep(const char* name, std::string_view step) {
    MvLogLine({name, "( ", step, " )"});
}

// A step line of the run: "<name>( <step> )", with "Steps" on. The text is
// only put together when the line is written.
inline void Step(const char* name, std::string_view step) {
    if (g_DiagnosticLog.IsOn(LogSteps)) WriteStep(name, step);
}

void BlankLine() {
    if (g_DiagnosticLog.IsOn(LogSteps)) g_DiagnosticLog.WriteLine(u"");
}

// The built-in step of a formula kind whose executor is not built.
void NotAvailable(CMvCalculation& calc, LONG kind) {
    static constexpr const char* kOnDemand = "OnDemand_Formula";
    const char* name = kind == mvcOnDemand_Method ? kOnDemand : FormulaTypeNames[kind];
    calc.SetError("The formula kind " + std::string(name) + " (" + std::to_string(kind) +
                  ") cannot run in this build.");
}

template <LONG Kind>
void NotAvailableExecutor(CMvCalculation& calc, const ParamInfoTable&) {
    NotAvailable(calc, Kind);
}

std::array<MvFormulaExecutor, 8>& Executors() {
    static std::array<MvFormulaExecutor, 8> executors{};
    return executors;
}

constexpr std::array<MvFormulaExecutor, 8> kBuiltInExecutors = {
    nullptr,
    [](CMvCalculation& calc, const ParamInfoTable& table) { calc.EXE_Execute(table); },
    [](CMvCalculation& calc, const ParamInfoTable&) { calc.OLE_Execute(); },
    [](CMvCalculation& calc, const ParamInfoTable& table) { calc.ExecuteVBScript(table); },
    [](CMvCalculation& calc, const ParamInfoTable&) { calc.ExecuteCorvex(false); },
    [](CMvCalculation& calc, const ParamInfoTable& table) { calc.Excel_Execute(table); },
    [](CMvCalculation& calc, const ParamInfoTable&) { calc.CallDllFunction(); },
    [](CMvCalculation& calc, const ParamInfoTable&) { calc.ExecuteCorvex(true); },
};

}  // namespace

MvFormulaExecutor MvSetFormulaExecutor(LONG kind, MvFormulaExecutor executor) {
    if (kind < 1 || kind > 7) return nullptr;
    return std::exchange(Executors()[static_cast<std::size_t>(kind)], executor);
}

bool CMvCalculation::HasError() {
    mv::ObjectLock lock(this);
    return FailedLocked();
}

HRESULT CMvCalculation::Calculate() {
    if (g_DiagnosticLog.IsOn(LogMethods)) MvTraceMethodStart(kCalculate);
    return Calculate(nullptr);
}

HRESULT CMvCalculation::Calculate(IMvScheduleGroup* group) {
    try {
        BlankLine();
        Step(kCalculate, "Function - Start");
        Step(kCalculate, "Calculation Name");
        if (g_DiagnosticLog.IsOn(LogSteps)) {
            std::string name;
            {
                mv::ObjectLock lock(this);
                name = m_Name;
            }
            Step(kCalculate, name);
        }
        const DWORD start = GetTickCount();
        SHORT level = mvcNO_QLEVEL;
        SHORT status = mvcQSTATUS_NO_STATUS;
        ParamInfoShare table;
        LONG dataSetCount = 0;
        LONG kind = 0;
        // The run's start, under the object lock.
        auto begin = [&] {
            if (group) group->AddRef();
            m_RunScheduleGroup = group;
            m_StoreTime[0] = m_StoreTime[1] = -1;
            // The outputs are written now at the current time: a catch-up
            // goes on from what they hold.
            DropResumeStamp();
            table = m_ParamInfo;
            if (!table) {
                Step(kCalculate, "SetupParamInfo()");
                table = SetupParamInfo();
            }
            dataSetCount = m_DataSetCount;
            kind = m_FormulaType;
            ClearErrorLocked();
            m_ErrorPosition = 0;
        };
        bool begun = false;
        {
            mv::ObjectLock lock(this);
            if (m_BeingCalculated != 0) {
                Step(kCalculate, "Function - End");
                BlankLine();
                return S_OK;
            }
            m_BeingCalculated = 1;
            PushToTLS();
            // With "ReturnValue" known to be filed there is nothing to forget
            // first: the run starts under the same lock.
            if (ReturnValueStillFiledLocked()) {
                begin();
                begun = true;
            }
        }
        RunMark mark{this};
        if (!begun) {
            ForgetStaleReturnValue();
            mv::ObjectLock lock(this);
            begin();
        }
        try {
            // Without its table (a set-up that ran out of memory) the run
            // would pass for done with no formula run: it fails as a run
            // that ran out of memory.
            if (!table) throw std::bad_alloc();
            if (dataSetCount > 0) {
                Step(kCalculate, "ProcessDataSets(INPUT_PASS)");
                ProcessDataSets(INPUT_PASS);
            }
            if (table) {
                Step(kCalculate, "ProcessDataBindings");
                ProcessDataBindings(*table, INPUT_PASS, &level, &status, nullptr);
                if (kind != mvcSimpleScript_Method) {
                    Step(kCalculate, "InitOutputParameterStatus");
                    InitOutputParameterStatus(*table, &level, &status);
                }
            }
            if (!HasError()) ExecuteFormula(table, kind);
            if (!HasError()) {
                if (table) {
                    Step(kCalculate, "ProcessDataBindings");
                    ProcessDataBindings(*table, OUTPUT_PASS, nullptr, nullptr, nullptr);
                }
                if (dataSetCount > 0) {
                    Step(kCalculate, "ProcessDataSets(OUTPUT_PASS)");
                    ProcessDataSets(OUTPUT_PASS);
                }
            }
        } catch (...) {
            AddError(MvRunExceptionText(std::current_exception()));
        }
        PopFromTLS();
        mark.popped = true;

        IMvScheduleGroup* runGroup = nullptr;
        bool textLost = false;
        {
            mv::ObjectLock lock(this);
            if (m_ReturnValueParameter) Step(kCalculate, "GetParameterValues");
            TakeReturnValueLocked();
            m_LastExecution = CurrentDateTime();
            m_CalculateTime = GetTimeElapsed(start);
            if (g_DiagnosticLog.IsOn(LogSteps)) {
                mv::Bstr seconds(u"");
                AppendDoubleToBstr(seconds, m_CalculateTime);
                MvLogLine({"Calculation Time : ( ", seconds, " )"});
            }
            runGroup = std::exchange(m_RunScheduleGroup, nullptr);
            if (!m_ErrorText.empty()) {
                MvLogErrorHr(kCalculate, S_OK);
                MvLogErrorA(kCalculate, m_ErrorText.c_str());
            }
            // A failure whose text could not be stored for lack of memory
            // must not read as a success.
            textLost = m_Failed && m_ErrorText.empty();
            m_BeingCalculated = 0;
            mark.ended = true;
        }
        if (runGroup) runGroup->Release();
        if (textLost) MvLogErrorHr(kCalculate, E_OUTOFMEMORY);
        Step(kCalculate, "Function - End");
        return textLost ? E_OUTOFMEMORY : S_OK;
    } catch (...) {
        MvLogErrorHr(kCalculate, E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}

void CMvCalculation::TakeReturnValue() {
    mv::ObjectLock lock(this);
    TakeReturnValueLocked();
}

void CMvCalculation::TakeReturnValueLocked() {
    // A value that could not be copied for lack of memory would leave the
    // calculation's value empty or old under the run's level: the run fails,
    // marked first, as its text may not be had for lack of memory either.
    if (m_ReturnValueParameter && m_ReturnValueParameter->GetParameterValues(
                                      &m_Value, &m_Level, &m_Status, nullptr) == E_OUTOFMEMORY) {
        m_Failed = true;
        MvGuardedCall(
            [&] { AddError(MvRunExceptionText(std::make_exception_ptr(std::bad_alloc()))); });
    }
}

// An escaping exception is logged and its text appended to the error text,
// so the run writes no outputs the formula did not finish.
HRESULT CMvCalculation::ExecuteFormula(const ParamInfoShare& given, LONG kind) {
    static constexpr const char* kName = "CMvCalculation::ExecuteFormula";
    MvStepFrame step(kName);
    ParamInfoShare found;  // the run's own share when the caller gave none
    if (!given) found = ParamInfoSnapshot();
    if (!given && !found) found = SetupParamInfo();
    const ParamInfoTable* table = given ? given.get() : found.get();
    try {
        // Without its table (a set-up that ran out of memory) the formula
        // would pass for run.
        if (!table) throw std::bad_alloc();
        ClearChangedFlags(*table);
        if (kind == 0) {
            mv::ObjectLock lock(this);
            kind = m_FormulaType;
        }
        if (kind < 1 || kind > 7) return S_OK;
        const std::size_t slot = static_cast<std::size_t>(kind);
        MvFormulaExecutor executor =
            Executors()[slot] ? Executors()[slot] : kBuiltInExecutors[slot];
        executor(*this, *table);
        return S_OK;
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        AddError(MvRunExceptionText(std::current_exception()));
        return E_UNEXPECTED;
    }
}

// Runs the formula alone on an allocated copy; E_FAIL when it failed, so
// that the library formula's caller sees the failure.
HRESULT CMvCalculation::Execute() {
    return MvMethodFrame("CMvCalculation::Execute", [&] {
        {
            mv::ObjectLock lock(this);
            ClearErrorLocked();
        }
        ExecuteFormula();
        TakeReturnValue();
        return HasError() ? E_FAIL : S_OK;
    });
}

HRESULT CMvCalculation::ClearCache() {
    return MvMethodFrame("CMvCalculation::ClearCache", [&] {
        std::lock_guard ole(m_OleLock);
        ResetOleDispIds();
        ClearParamInfo();
    });
}

void CMvCalculation::ClearChangedFlags(const ParamInfoTable& table) {
    for (const ParamInfo& record : table.Records)
        if (record.ParameterType != mvcInput) record.Parameter->put_Changed(0);
}

HRESULT CMvCalculation::InitOutputParameterStatus(const ParamInfoTable& table, SHORT* level,
                                                  SHORT* status) {
    try {
        for (const ParamInfo& record : table.Records) {
            if (record.ParameterType != mvcOutput && record.ParameterType != mvcReturnValue)
                continue;
            VARIANT empty;
            VariantInit(&empty);
            DATE zero = 0.0;
            record.Parameter->SetParameterValues(&empty, level, status, &zero);
        }
        return S_OK;
    } catch (...) {
        MvLogErrorHr("CMvCalculation::InitOutputParameterStatus", E_UNEXPECTED);
        return E_UNEXPECTED;
    }
}

double CMvCalculation::GetTimeElapsed(const DWORD& start) {
    if (g_DiagnosticLog.IsOn(LogSteps)) Step("CMvCalculation::GetTimeElapsed", "Function - Start");
    const DWORD elapsed = GetTickCount() - start;
    return static_cast<double>(elapsed) / 1000.0;
}

// Runs on one thread ask for the same second again and again: each thread
// keeps the last second it converted and the time zone (TZ) it was
// converted under. A change of the system's zone while TZ is unset shows
// from the next second on.
DATE CMvCalculation::CurrentDateTime(bool* valid) {
    struct Last {
        int64_t second = INT64_MIN;
        bool hadTz = false;
        char tz[64] = {};
        DATE date = 0.0;
        bool converted = false;
    };
    thread_local Last last;
    FILETIME utc{};
    GetSystemTimeAsFileTime(&utc);
    const int64_t second =
        static_cast<int64_t>((uint64_t{utc.dwHighDateTime} << 32 | utc.dwLowDateTime) / 10000000);
    const char* tz = std::getenv("TZ");
    if (last.second != second ||
        (tz ? !last.hadTz || std::strncmp(last.tz, tz, sizeof last.tz) != 0 : last.hadTz)) {
        SYSTEMTIME now{};
        FILETIME local{};
        if (FileTimeToLocalFileTime(&utc, &local)) FileTimeToSystemTime(&local, &now);
        now.wMilliseconds = 0;
        last.date = 0.0;
        last.converted = SystemTimeToVariantTime(&now, &last.date) != 0;
        // A zone name too long to keep is converted every time.
        last.second = tz && std::strlen(tz) >= sizeof last.tz ? INT64_MIN : second;
        last.hadTz = tz != nullptr;
        std::strncpy(last.tz, tz ? tz : "", sizeof last.tz - 1);
    }
    if (valid) *valid = last.converted;
    return last.converted ? last.date : 0.0;
}

// The buffer fits every double: "%.16f" of -1e308 has 326 characters.
void CMvCalculation::AppendDoubleToBstr(mv::Bstr& text, const double& value) {
    char number[400];
    const bool fixed = value < 1e16;  // false for NaN
    std::snprintf(number, sizeof number, fixed ? "%.16f" : "%.16e", value);
    text = mv::Bstr(std::u16string(text.view()) + mv::ToUtf16(number));
}
