// The binding dispatcher: which binding kind moves which parameter in which
// pass, the batched steps after the walk, the data sets' turn and the fold
// of the inputs' quality.
#include <array>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "frame/calc_variant.h"
#include "frame/exception_text.h"
#include "frame/keldrin_client.h"
#include "frame/trace.h"
#include "parameters/enum_texts.h"
#include "parameters/parameter.h"

namespace {

constexpr const char* kDispatch = "CMvCalculation::ProcessDataBindings";

void Nothing(const MvBindingCall&) {}

struct Seams {
    std::array<MvBindingHandler, 12> handlers{};
    std::array<MvBindingHandler, 12> batchSteps{};
    MvDataSetReader dataSetReader = nullptr;
};
Seams& TheSeams() {
    static Seams seams;
    return seams;
}

MvBindingHandler BuiltInHandler(LONG kind) {
    switch (kind) {
        case mvcKeldrin:
            return &CMvCalculation::KeldrinBindingHandler;
        case mvcDataSet:
            return &CMvCalculation::DataSetBindingHandler;
        case mvcCalculation:
            return &CMvCalculation::CalculationBindingHandler;
        case mvcDravik:
            return &CMvCalculation::DravikBindingHandler;
        case mvcQuenbus:
            return &CMvCalculation::QuenbusBindingHandler;
        case mvcProcessData:
            return &CMvCalculation::ProcessDataBindingHandler;
        default:
            return &Nothing;
    }
}

MvBindingHandler HandlerOf(LONG kind) {
    MvBindingHandler h = TheSeams().handlers[static_cast<std::size_t>(kind)];
    return h ? h : BuiltInHandler(kind);
}

// The historian and process-data steps after the walk come with their
// handlers, whose definitions already reported the missing kind.
MvBindingHandler BatchStepOf(LONG kind) {
    MvBindingHandler h = TheSeams().batchSteps[static_cast<std::size_t>(kind)];
    if (h) return h;
    if (kind == mvcKeldrin) return &CMvCalculation::KeldrinBatchStep;
    if (kind == mvcProcessData) return &CMvCalculation::ProcessDataBatchStep;
    return kind == mvcOPC ? &CMvCalculation::OpcBatchStep : &Nothing;
}

bool HandlerKind(LONG kind) {
    return kind == mvcKeldrin || kind == mvcDataSet || kind == mvcCalculation ||
           kind == mvcDravik || kind == mvcQuenbus || kind == mvcProcessData;
}

void InParamsLine(const char16_t* label, const std::string& value) {
    MvLogLine({label, "( ", value, " )"});
}

}  // namespace

MvBindingHandler MvSetBindingHandler(LONG kind, MvBindingHandler handler) {
    if (!HandlerKind(kind)) return nullptr;
    return std::exchange(TheSeams().handlers[static_cast<std::size_t>(kind)], handler);
}

MvBindingHandler MvSetBindingBatchStep(LONG kind, MvBindingHandler step) {
    if (kind != mvcKeldrin && kind != mvcOPC && kind != mvcProcessData) return nullptr;
    return std::exchange(TheSeams().batchSteps[static_cast<std::size_t>(kind)], step);
}

MvDataSetReader MvSetDataSetReader(MvDataSetReader reader) {
    return std::exchange(TheSeams().dataSetReader, reader);
}

SHORT WorseLevel(SHORT a, SHORT b) noexcept {
    return a > b ? a : b;
}

SHORT LevelToStatus(SHORT level) noexcept {
    switch (level) {
        case mvcNO_QLEVEL:
            return mvcQSTATUS_NO_STATUS;
        case mvcQLEVEL_GOOD:
            return mvcQSTATUS_GOOD;
        case mvcQLEVEL_SUSPECT:
            return mvcQSTATUS_SUSPECT;
        default:
            return mvcQSTATUS_BAD;
    }
}

void CMvCalculation::AccumulateParameterLevel(const ParamInfo& record, SHORT* level,
                                              SHORT* status) {
    if (!level || !status) return;
    SHORT parameterLevel = 0;
    record.Parameter->get_Level(&parameterLevel);
    *level = *level == mvcNO_QLEVEL ? parameterLevel : WorseLevel(parameterLevel, *level);
    *status = LevelToStatus(*level);
}

void CMvCalculation::PlanBindingPasses(ParamInfoTable& table) {
    for (LONG pass : {INPUT_PASS, OUTPUT_PASS}) {
        ParamInfoTable::BindingPass& plan = table.Passes[pass];
        const LONG mask = pass == INPUT_PASS ? 1 : 2;
        plan = {};
        for (const ParamInfo& record : table.Records) {
            if (!(record.ParameterType & mask)) continue;
            plan.HistorianCount += record.BindingType == mvcKeldrin ? 1 : 0;
            plan.ProcessDataCount += record.BindingType == mvcProcessData ? 1 : 0;
            plan.Bound =
                plan.Bound || HandlerKind(record.BindingType) || record.BindingType == mvcOPC;
            if (pass == INPUT_PASS)
                plan.Inputs.emplace_back(&record,
                                         dynamic_cast<CMvParameter*>(record.Parameter.get()));
        }
        plan.Planned = true;
    }
}

void CMvCalculation::ProcessDataBindings(const ParamInfoTable& table, LONG pass, SHORT* level,
                                         SHORT* status, const void* storeTime) {
    LoadKeldcoreLibrary();
    EnsureKeldrinClientStarted();
    MvStepFrame step(kDispatch);
    try {
        const LONG mask = pass == INPUT_PASS ? 1 : 2;
        std::map<std::string, std::vector<std::pair<std::string, LONG>>> opc;
        const ParamInfoTable::BindingPass& plan = table.Passes[pass == INPUT_PASS ? 0 : 1];
        const bool inParams = g_DiagnosticLog.IsOn(LogInParams);
        // Nothing but unbound records: an input folds its level in, an output
        // is left alone.
        const bool unbound = plan.Planned && !plan.Bound && !inParams;
        if (unbound && pass != INPUT_PASS) return;
        LONG sandBox = 0;
        mv::ComPtr<IMvDravikConnect> recipe;
        {
            mv::ObjectLock lock(this);
            sandBox = m_SandBoxMode;
            recipe = mv::ComPtr<IMvDravikConnect>(m_DravikConnect);
        }
        if (pass == INPUT_PASS && recipe) recipe->EnableDravikConnect();

        if (unbound) {
            if (!level || !status) return;
            const bool traced = g_DiagnosticLog.IsOn(LogMethods);
            for (const auto& [record, own] : plan.Inputs) {
                if (own && !traced) {
                    const SHORT parameterLevel = own->CurrentLevel();
                    *level = *level == mvcNO_QLEVEL ? parameterLevel
                                                    : WorseLevel(parameterLevel, *level);
                    *status = LevelToStatus(*level);
                } else {
                    AccumulateParameterLevel(*record, level, status);
                }
            }
            return;
        }
        LONG historianCount = plan.HistorianCount, processDataCount = plan.ProcessDataCount;
        if (!plan.Planned) {
            for (const ParamInfo& record : table.Records) {
                if (!(record.ParameterType & mask)) continue;
                historianCount += record.BindingType == mvcKeldrin ? 1 : 0;
                processDataCount += record.BindingType == mvcProcessData ? 1 : 0;
            }
        }
        if (inParams) InParamsLine(u"Parameter Count: ", std::to_string(table.Records.size()));

        LONG historianOrdinal = 0, processDataOrdinal = 0;
        bool historian = false, processData = false, opcFlag = false;
        MvBindingCall call{this, pass, &table, nullptr, 0, 0, level, status, storeTime, &opc};
        auto unitCheck = [&](const ParamInfo& record) {
            if (record.UnitConversionMultiplier != 0.0) return;
            if (record.UnitConversionOffset == 1.0)
                SetError("Error converting engineering units.");
            else if (record.UnitConversionOffset == 2.0)
                SetError("Can not convert engineering units with different types.");
        };
        for (std::size_t i = 0; i < table.Records.size(); ++i) {
            const ParamInfo& record = table.Records[i];
            if (inParams) {
                InParamsLine(u"Parameter Name: ", record.Name);
                InParamsLine(u"Parameter Type: ", std::to_string(record.ParameterType));
                InParamsLine(u"Binding Type: ", std::to_string(record.BindingType));
            }
            if (!(record.ParameterType & mask)) continue;
            call.Record = &record;
            call.Ordinal = call.Count = 0;
            switch (record.BindingType) {
                case mvcKeldrin:
                case mvcProcessData: {
                    if (pass != INPUT_PASS && sandBox != 0) break;
                    const bool isHistorian = record.BindingType == mvcKeldrin;
                    LONG& ordinal = isHistorian ? historianOrdinal : processDataOrdinal;
                    call.Count = isHistorian ? historianCount : processDataCount;
                    call.Ordinal = ordinal++;
                    HandlerOf(record.BindingType)(call);
                    (isHistorian ? historian : processData) = true;
                    unitCheck(record);
                    break;
                }
                case mvcOPC: {
                    if (pass != INPUT_PASS) {
                        LONG changed = 0;
                        record.Parameter->get_Changed(&changed);
                        if (sandBox != 0 || changed == 0) break;
                    }
                    mv::Bstr node, item;
                    // A name lost for lack of memory would send the value to
                    // another item.
                    MvThrowIfOutOfMemory(record.Parameter->get_NodeName(node.Out()));
                    MvThrowIfOutOfMemory(record.Parameter->get_RecordName(item.Out()));
                    opc[node.Utf8()].emplace_back(item.Utf8(), static_cast<LONG>(i));
                    opcFlag = true;
                    break;
                }
                case mvcDataSet:
                case mvcDravik:
                    HandlerOf(record.BindingType)(call);
                    break;
                case mvcCalculation:
                    if (pass == INPUT_PASS) HandlerOf(record.BindingType)(call);
                    break;
                case mvcQuenbus:
                    if (pass != INPUT_PASS) HandlerOf(record.BindingType)(call);
                    break;
                default:
                    if (pass == INPUT_PASS) AccumulateParameterLevel(record, level, status);
                    break;
            }
        }
        call.Record = nullptr;
        call.Ordinal = 0;
        if (historian) BatchStepOf(mvcKeldrin)(call);
        if (processData) BatchStepOf(mvcProcessData)(call);
        if (opcFlag) BatchStepOf(mvcOPC)(call);
    } catch (...) {
        // A pass cut short fails the run: the formula must not run on inputs
        // not read, and outputs not written must not pass for written. The
        // mark stands also when the text cannot be had for lack of memory.
        MvLogErrorHr(kDispatch, E_UNEXPECTED);
        MarkFailed();
        try {
            AddError(MvRunExceptionText(std::current_exception()));
        } catch (...) {
        }
    }
}

void CMvCalculation::ProcessDataSets(LONG pass) {
    const LONG mask = pass == INPUT_PASS ? 1 : 2;
    LONG count = 0;
    {
        mv::ObjectLock lock(this);
        count = m_DataSetCount;
    }
    MvDataSetReader reader =
        TheSeams().dataSetReader ? TheSeams().dataSetReader : &CMvCalculation::ReadAdoDataSets;
    for (const mv::ComPtr<IMvDataSet>& dataSet :
         MvMembersAs<IMvDataSet>(Collection(m_DataSets).get(), count))
        if (dataSet) reader(*this, mask, dataSet.get());
}
