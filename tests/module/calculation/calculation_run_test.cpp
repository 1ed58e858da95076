// The run: phase gating around recording executors and binding handlers,
// the result and its quality, the run's clock, Execute on a copy, the
// binding dispatcher's table and the release of other threads' automation
// objects.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "calculation_test_support.h"
#include "frame/tls_slots.h"
#include "schedule_group_double.h"

namespace calculation_test {
namespace {

using parameter_test::ExpectSame;
using parameter_test::Typed;

// What the recording executors and handlers saw, in order.
std::vector<std::string> g_calls;
enum class Act { Nothing, Fail, Throw, Recurse, SetReturn };
Act g_act = Act::Nothing;
LONG g_returnValue = 42;  // what Act::SetReturn writes

void Recording(CMvCalculation& calc, const ParamInfoTable& table) {
    g_calls.push_back("formula");
    if (g_act == Act::Fail) calc.SetError("formula failed");
    if (g_act == Act::Throw) throw std::runtime_error("boom");
    if (g_act == Act::Recurse) {
        EXPECT_EQ(static_cast<IMvCalculation&>(calc).Calculate(), S_OK);
    }
    if (g_act == Act::SetReturn)
        for (const ParamInfo& r : table.Records)
            if (r.Name == "ReturnValue") r.Parameter->put_Value(mv::Variant(g_returnValue));
}

template <int Kind, char Tag>
void RecordingHandler(const MvBindingCall& call) {
    g_calls.push_back(std::string(1, Tag) + std::to_string(Kind) + "/" + std::to_string(call.Pass) +
                      (call.Record ? " " + call.Record->Name : "") +
                      (call.Record && Kind == mvcKeldrin
                           ? " " + std::to_string(call.Ordinal) + "of" + std::to_string(call.Count)
                           : ""));
}

class CalculationRun : public testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        g_calls.clear();
        g_act = Act::Nothing;
        for (LONG kind = 1; kind <= 7; ++kind) MvSetFormulaExecutor(kind, &Recording);
    }
    void TearDown() override {
        for (LONG kind = 1; kind <= 7; ++kind) MvSetFormulaExecutor(kind, nullptr);
        for (LONG kind : {1, 4, 6, 7, 10, 11}) MvSetBindingHandler(kind, nullptr);
        for (LONG kind : {1, 9, 11}) MvSetBindingBatchStep(kind, nullptr);
        mv::SetTickClockForTesting(nullptr);
        FreeTlsSlots();
    }
    void RecordBindings() {
        MvSetBindingHandler(1, &RecordingHandler<1, 'H'>);
        MvSetBindingHandler(4, &RecordingHandler<4, 'H'>);
        MvSetBindingHandler(6, &RecordingHandler<6, 'H'>);
        MvSetBindingHandler(7, &RecordingHandler<7, 'H'>);
        MvSetBindingHandler(10, &RecordingHandler<10, 'H'>);
        MvSetBindingHandler(11, &RecordingHandler<11, 'H'>);
        MvSetBindingBatchStep(1, &RecordingHandler<1, 'B'>);
        MvSetBindingBatchStep(9, &RecordingHandler<9, 'B'>);
        MvSetBindingBatchStep(11, &RecordingHandler<11, 'B'>);
    }
    ServedClasses served_;
};

mv::ComPtr<IMvParameter> Param(IMvCalculation* calc, const char16_t* name, LONG direction,
                               LONG binding = mvcNone) {
    mv::ComPtr<IMvParameter> p;
    EXPECT_EQ(calc->AddParameter(mv::Bstr(name).get(), p.Put()), S_OK);
    p->put_ParameterType(direction);
    p->put_BindingType(binding);
    return p;
}

TEST_F(CalculationRun, StepLinesTraceTheRun) {
    auto calc = NewCalculation();
    calc->put_Name(mv::Bstr(u"Calc").get());
    calc->put_FormulaType(mvcNoExecuteMethodDefined);
    // The run's ticks wrap around: 1.5 seconds pass.
    static int ticks;
    ticks = 0;
    mv::SetTickClockForTesting([]() -> ULONGLONG { return ticks++ == 0 ? 0xFFFFFA24ull : 0; });
    values_test::LogCapture log(false, true);
    EXPECT_EQ(calc->Calculate(), S_OK);
    const std::string run = "CMvCalculation::Calculate( ";
    const std::string bindings = "CMvCalculation::ProcessDataBindings( Function - ";
    EXPECT_EQ(log.Lines(), "\n" + run + "Function - Start )\n" + run + "Calculation Name )\n" +
                               run + "Calc )\n" + run + "SetupParamInfo() )\n" +
                               "CMvCalculation::SetupParamInfo( Function - Start )\n"
                               "Parameter Name: ( ReturnValue )\nParameter Type: ( 12 )\n"
                               "Parameter ParameterType: ( 6 )\nParameter BindingType: ( 0 )\n"
                               "Parameter UnitConversionMultiplier: ( 0 )\n"
                               "Parameter UnitConversionOffset: ( 0 )\n"
                               "CMvCalculation::SetupParamInfo( Function - End )\n" +
                               run + "ProcessDataBindings )\n" + bindings + "Start )\n" + bindings +
                               "End )\n" + run + "InitOutputParameterStatus )\n" +
                               "CMvCalculation::ExecuteFormula( Function - Start )\n"
                               "CMvCalculation::ExecuteFormula( Function - End )\n" +
                               run + "ProcessDataBindings )\n" + bindings + "Start )\n" + bindings +
                               "End )\n" + run + "GetParameterValues )\n" +
                               "CMvCalculation::GetTimeElapsed( Function - Start )\n"
                               "Calculation Time : ( 1.5000000000000000 )\n" +
                               run + "Function - End )\n");
}

// A unit factor's step line holds it truncated toward zero when that fits in
// 64 bits, else as %g writes it.
TEST_F(CalculationRun, StepLinesShowUnitFactorsWholeOrAsTheyStand) {
    const struct {
        double factor;
        std::string shown;
    } rows[] = {
        {2.7, "2"},
        {-2.7, "-2"},
        {-9223372036854775808.0, "-9223372036854775808"},
        {9223372036854775808.0, "9.22337e+18"},
        {std::nan(""), "nan"},
        {1e300, "1e+300"},
        {-std::numeric_limits<double>::infinity(), "-inf"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shown);
        auto calc = NewCalculation();
        auto p = Param(calc.get(), u"P", mvcInput);
        p->put_UnitConversionMultiplier(row.factor);
        p->put_UnitConversionOffset(row.factor);
        values_test::LogCapture log(false, true);
        EXPECT_EQ(calc->Calculate(), S_OK);
        const std::string lines = log.Lines();
        EXPECT_NE(lines.find("Parameter UnitConversionMultiplier: ( " + row.shown +
                             " )\nParameter UnitConversionOffset: ( " + row.shown + " )\n"),
                  std::string::npos)
            << lines;
    }
}

TEST_F(CalculationRun, ErrorsStopTheRunBeforeTheFormulaOrBeforeTheOutputs) {
    RecordBindings();
    const std::string kThrown = "\nA runtime error occurred: boom.";
    const std::string kNoNode = "Keldrin Binding: No Node Name Defined\n";
    struct Case {
        const char* what;
        LONG kind;
        Act act;
        bool historianInput;
        std::vector<std::string> calls;
        std::string error;
        bool outputEmptied;
    } cases[] = {
        {"clean run", 1, Act::Nothing, false, {"formula", "H10/1 Out"}, "", true},
        {"kind 4 keeps its outputs", 4, Act::Nothing, false, {"formula", "H10/1 Out"}, "", false},
        {"kind 0 runs nothing", 0, Act::Nothing, false, {"H10/1 Out"}, "", true},
        {"kind 99 runs nothing", 99, Act::Nothing, false, {"H10/1 Out"}, "", true},
        {"kind -1 runs nothing", -1, Act::Nothing, false, {"H10/1 Out"}, "", true},
        {"formula error", 1, Act::Fail, false, {"formula"}, "formula failed", true},
        {"throwing formula", 2, Act::Throw, false, {"formula"}, kThrown, true},
        {"input error", 1, Act::Nothing, true, {}, kNoNode, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MvSetBindingHandler(1, c.historianInput ? nullptr : &RecordingHandler<1, 'H'>);
        MvSetBindingBatchStep(1, c.historianInput ? nullptr : &RecordingHandler<1, 'B'>);
        auto calc = NewCalculation();
        calc->put_FormulaType(c.kind);
        auto out = Param(calc.get(), u"Out", mvcOutput, mvcQuenbus);
        out->put_Value(mv::Variant(LONG{3}));
        if (c.historianInput) Param(calc.get(), u"In", mvcInput, mvcKeldrin);
        g_calls.clear();
        g_act = c.act;
        values_test::LogCapture log;
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(g_calls, c.calls);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), c.error);
        mv::Variant value;
        out->get_Value(&value);
        EXPECT_EQ(value.vt, c.outputEmptied ? VT_EMPTY : VT_I4);
        const std::string closing = "CMvCalculation::Calculate: S_OK\nCMvCalculation::Calculate: ";
        EXPECT_EQ(log.Lines().find(closing + c.error) != std::string::npos, !c.error.empty());
    }
}

TEST_F(CalculationRun, ACalculationInUseDoesNotRunAgain) {
    auto calc = NewCalculation();
    calc->put_FormulaType(1);
    g_act = Act::Recurse;
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(g_calls.size(), 1u);  // the inner call ran nothing
    calc->put_BeingCalculated(1);
    calc->put_LastExecution(1.0);
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(g_calls.size(), 1u);
    ExpectSame(Get(calc.get(), u"LastExecution"), Typed(VT_DATE, 1.0));
}

// An automation object (or schedule group) whose AddRef answers what the
// test says.
class Counted : public ScheduleGroupDouble {
public:
    explicit Counted(bool shared) : shared_(shared) {}
    ULONG AddRef() override { return shared_ ? 1 : static_cast<ULONG>(++refs); }

private:
    bool shared_;
};

Counted* g_group = nullptr;
int g_refsDuringRun = 0;
void SeesGroup(CMvCalculation&, const ParamInfoTable&) {
    g_refsDuringRun = g_group->refs;
}

TEST_F(CalculationRun, TheRunHoldsItsScheduleGroupWhileItRuns) {
    MvSetFormulaExecutor(6, &SeesGroup);
    Counted group(false);
    g_group = &group;
    auto calc = NewCalculation();
    calc->put_FormulaType(6);
    EXPECT_EQ(calc->Calculate(&group), S_OK);
    EXPECT_EQ(g_refsDuringRun, 2);
    EXPECT_EQ(group.refs, 1);
    g_group = nullptr;
}

// The outer formula runs the inner calculation; each sees itself on top.
IMvCalculation* g_inner = nullptr;
void SeesItself(CMvCalculation& calc, const ParamInfoTable&) {
    if (g_inner && &calc != static_cast<CMvCalculation*>(g_inner)) g_inner->Calculate();
    g_calls.push_back(MvRunningCalculation() == calc.GetUnknown() ? "self" : "other");
}

// The running stack is last in, first out even when one calculation is on
// it more than once, and every reference it took goes with its node.
TEST_F(CalculationRun, TheRunningStackKeepsItsOrderWithACalculationOnItTwice) {
    const std::vector<int> orders[] = {{0}, {0, 0}, {0, 1, 0}, {1, 0, 0, 1}, {0, 0, 0}};
    for (const std::vector<int>& order : orders) {
        SCOPED_TRACE(testing::PrintToString(order));
        Calculation calcs[] = {NewCalculation(), NewCalculation()};
        auto references = [](const Calculation& c) { return c->AddRef(), c->Release(); };
        const ULONG before[] = {references(calcs[0]), references(calcs[1])};
        for (int which : order) {
            calcs[which]->PushToTLS();
            EXPECT_EQ(MvRunningCalculation(), calcs[which]->GetUnknown());
        }
        for (std::size_t i = order.size(); i-- > 0;) {
            EXPECT_EQ(MvRunningCalculation(), calcs[order[i]]->GetUnknown());
            CMvCalculation::PopFromTLS();
        }
        EXPECT_EQ(MvRunningCalculation(), nullptr);
        EXPECT_EQ(references(calcs[0]), before[0]);
        EXPECT_EQ(references(calcs[1]), before[1]);
    }
}

TEST_F(CalculationRun, NestedRunsStrangeMembersAndAMissingReturnValueRunSafely) {
    MvSetFormulaExecutor(5, &SeesItself);
    auto outer = NewCalculation();
    auto inner = NewCalculation();
    outer->put_FormulaType(5);
    inner->put_FormulaType(5);
    g_inner = inner.get();
    CMvCalculation::PopFromTLS();  // an empty stack: nothing happens
    EXPECT_EQ(outer->Calculate(), S_OK);
    g_inner = nullptr;
    EXPECT_EQ(g_calls, (std::vector<std::string>{"self", "self"}));
    EXPECT_EQ(MvRunningCalculation(), nullptr);

    // A member that is no parameter is passed over; without "ReturnValue"
    // the result keeps its value.
    mv::ComPtr<IMvObjCollection> parameters;
    outer->get_Parameters(parameters.Put());
    EXPECT_EQ(outer->RemoveAllParameters(), S_OK);
    EXPECT_EQ(parameters->Add(mv::Bstr(u"Odd").get(), static_cast<IMvCalculation*>(inner.get())),
              S_OK);
    EXPECT_EQ(parameters->Remove(mv::Bstr(u"ReturnValue").get()), S_OK);
    outer->put_Value(mv::Variant(LONG{9}));
    EXPECT_EQ(outer->Calculate(), S_OK);
    ExpectSame(Get(outer.get(), u"Value"), mv::Variant(LONG{9}));
    EXPECT_EQ(outer->ParamInfoSnapshot()->Records.size(), 0u);
}

TEST_F(CalculationRun, ExecuteReportsAFailedFormulaAndTheValueComesFromTheCurrentReturnValue) {
    auto calc = NewCalculation();
    calc->put_FormulaType(3);
    g_act = Act::SetReturn;
    EXPECT_EQ(calc->Execute(), S_OK);
    ExpectSame(Get(calc.get(), u"Value"), mv::Variant(LONG{42}));
    g_act = Act::Throw;
    EXPECT_EQ(calc->Execute(), E_FAIL);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
              "\nA runtime error occurred: boom.");

    // After the parameters are replaced, the run reads the new "ReturnValue".
    calc->put_Value(mv::Variant(LONG{0}));
    EXPECT_EQ(calc->RemoveAllParameters(), S_OK);
    g_act = Act::SetReturn;
    g_returnValue = 43;
    EXPECT_EQ(calc->Calculate(), S_OK);
    g_returnValue = 42;
    ExpectSame(Get(calc.get(), u"Value"), mv::Variant(LONG{43}));
}

TEST_F(CalculationRun, ClearCacheEmptiesTheTableOfEveryCopy) {
    auto first = NewCalculation();
    first->put_FormulaType(1);
    IMvCalculation* a = nullptr;
    IMvCalculation* b = nullptr;
    ASSERT_EQ(first->AllocateCopy(&a, 0), S_OK);
    ASSERT_EQ(first->AllocateCopy(&b, 0), S_OK);
    for (IMvCalculation* copy : {a, b}) {
        copy->Execute();
        EXPECT_NE(static_cast<CMvCalculation*>(copy)->ParamInfoSnapshot(), nullptr);
    }
    EXPECT_EQ(first->ClearCache(), S_OK);
    for (IMvCalculation* copy : {a, b}) {
        EXPECT_EQ(static_cast<CMvCalculation*>(copy)->ParamInfoSnapshot(), nullptr);
        copy->DeallocateCopy();
        copy->Release();
    }
}

TEST_F(CalculationRun, TheDispatcherCallsEachBindingKindInItsPasses) {
    RecordBindings();
    struct Row {
        LONG kind;
        std::vector<std::string> input, output, sandboxOutput, unchangedOutput;
    };
    const std::vector<Row> rows = {
        {1, {"H1/0 P 0of1", "B1/0"}, {"H1/1 P 0of1", "B1/1"}, {}, {"H1/1 P 0of1", "B1/1"}},
        {11, {"H11/0 P", "B11/0"}, {"H11/1 P", "B11/1"}, {}, {"H11/1 P", "B11/1"}},
        {9, {"B9/0"}, {"B9/1"}, {}, {}},
        {4, {"H4/0 P"}, {"H4/1 P"}, {"H4/1 P"}, {"H4/1 P"}},
        {7, {"H7/0 P"}, {"H7/1 P"}, {"H7/1 P"}, {"H7/1 P"}},
        {6, {"H6/0 P"}, {}, {}, {}},
        {10, {}, {"H10/1 P"}, {"H10/1 P"}, {"H10/1 P"}},
    };
    std::vector<LONG> quiet = {0, 2, 3, 5, 8, 12, -1};
    for (const Row& row : rows)
        quiet.erase(std::remove(quiet.begin(), quiet.end(), row.kind), quiet.end());
    std::vector<Row> all = rows;
    for (LONG kind : quiet) all.push_back({kind, {}, {}, {}, {}});
    for (const Row& row : all) {
        SCOPED_TRACE(row.kind);
        auto calc = NewCalculation();
        auto p = Param(calc.get(), u"P", mvcInputOutput, row.kind);
        Param(calc.get(), u"Unused", mvcUnUsed, row.kind);
        Param(calc.get(), u"Command", mvcCommand, row.kind);
        ParamInfoShare table = calc->SetupParamInfo();
        auto pass = [&](LONG which, LONG sandbox, LONG changed) {
            calc->put_SandBoxMode(sandbox);
            p->put_Changed(changed);
            g_calls.clear();
            SHORT level = -1, status = -2;
            calc->ProcessDataBindings(*table, which, which ? nullptr : &level,
                                      which ? nullptr : &status, nullptr);
            return g_calls;
        };
        EXPECT_EQ(pass(INPUT_PASS, 1, 0), row.input);
        EXPECT_EQ(pass(OUTPUT_PASS, 0, 1), row.output);
        EXPECT_EQ(pass(OUTPUT_PASS, 1, 1), row.sandboxOutput);
        EXPECT_EQ(pass(OUTPUT_PASS, 0, 0), row.unchangedOutput);
    }
}

TEST_F(CalculationRun, HistorianInputsAreCountedCheckedForUnitsAndLevelsFold) {
    RecordBindings();
    auto calc = NewCalculation();
    for (int i = 0; i < 9; ++i) {
        std::u16string name = u"P" + mv::ToUtf16(std::to_string(i));
        auto p = Param(calc.get(), name.c_str(), i % 3 == 0 ? mvcInput : mvcOutput,
                       i % 3 == 0 ? mvcKeldrin : mvcConstant);
        if (i == 6) p->put_UnitConversionOffset(2.0);
        if (i == 1) {
            p->put_ParameterType(mvcInput);
            p->put_Level(2);
        }
    }
    ParamInfoShare table = calc->SetupParamInfo();
    ASSERT_EQ(table->Records.size(), 10u);
    SHORT level = -1, status = -2;
    calc->ProcessDataBindings(*table, INPUT_PASS, &level, &status, nullptr);
    EXPECT_EQ(g_calls,
              (std::vector<std::string>{"H1/0 P0 0of3", "H1/0 P3 1of3", "H1/0 P6 2of3", "B1/0"}));
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
              "Can not convert engineering units with different types.");
    mv::ComPtr<IMvParameter> p3;
    calc->GetParameter(mv::Bstr(u"P3").get(), p3.Put());
    p3->put_UnitConversionOffset(1.0);
    calc->ProcessDataBindings(*calc->SetupParamInfo(), INPUT_PASS, &level, &status, nullptr);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
              "Can not convert engineering units with different types.");
    p3->put_UnitConversionOffset(0.0);
    mv::ComPtr<IMvParameter> p6;
    calc->GetParameter(mv::Bstr(u"P6").get(), p6.Put());
    p6->put_UnitConversionOffset(1.0);
    calc->ProcessDataBindings(*calc->SetupParamInfo(), INPUT_PASS, &level, &status, nullptr);
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText),
              "Error converting engineering units.");
    // The constant input is the one level folded here.
    EXPECT_EQ(level, 2);
    EXPECT_EQ(status, -6);

    // The first folded level replaces -1 even when it is lower.
    ParamInfo record;
    record.Parameter = parameter_test::NewParameter();
    record.Parameter->put_Level(-5);
    level = -1;
    calc->AccumulateParameterLevel(record, &level, &status);
    EXPECT_EQ(level, -5);
    EXPECT_EQ(status, -6);
    record.Parameter->put_Level(1);
    calc->AccumulateParameterLevel(record, &level, &status);
    EXPECT_EQ(level, 1);
    EXPECT_EQ(status, -3);
}

// The run's quality folds the levels of the unbound inputs in the same way
// whether or not methods or inputs are traced and whether or not another
// input has a binding; a traced run shows each level being read.
TEST_F(CalculationRun, UnboundInputsFoldTheirLevelsWhateverIsTraced) {
    RecordBindings();
    const struct {
        std::vector<SHORT> levels;
        SHORT level;
        SHORT status;
    } rows[] = {
        {{0, 2, 1}, 2, mvcQSTATUS_BAD},
        {{1, 0}, 1, mvcQSTATUS_SUSPECT},
        {{-5}, -5, mvcQSTATUS_BAD},
        {{}, mvcNO_QLEVEL, mvcQSTATUS_NO_STATUS},
    };
    const BYTE savedInParams = g_DiagnosticLog.m_Flags[LogInParams];
    for (const auto& row : rows) {
        for (int mode = 0; mode < 8; ++mode) {
            const bool methods = mode & 1, inParams = mode & 2, bound = mode & 4;
            SCOPED_TRACE(testing::Message()
                         << row.level << " traced " << methods << inParams << " bound " << bound);
            auto calc = NewCalculation();
            calc->put_FormulaType(1);
            for (std::size_t i = 0; i < row.levels.size(); ++i)
                Param(calc.get(), mv::ToUtf16("In" + std::to_string(i)).c_str(), mvcInput)
                    ->put_Level(row.levels[i]);
            if (bound) Param(calc.get(), u"Bound", mvcInput, mvcCalculation);
            values_test::LogCapture log(methods);
            g_DiagnosticLog.m_Flags[LogInParams] = inParams ? 1 : 0;
            g_calls.clear();
            EXPECT_EQ(calc->Calculate(), S_OK);
            g_DiagnosticLog.m_Flags[LogInParams] = savedInParams;
            SHORT level = 9, status = 9;
            calc->get_Level(&level);
            calc->get_Status(&status);
            EXPECT_EQ(level, row.level);
            EXPECT_EQ(status, row.status);
            const std::vector<std::string> calls =
                bound ? std::vector<std::string>{"H6/0 Bound", "formula"}
                      : std::vector<std::string>{"formula"};
            EXPECT_EQ(g_calls, calls);
            const std::string lines = log.Lines();
            std::size_t reads = 0;
            for (std::size_t at = lines.find("CMvParameter::get_Level: Method - Start");
                 at != std::string::npos;
                 at = lines.find("CMvParameter::get_Level: Method - Start", at + 1))
                ++reads;
            EXPECT_EQ(reads, methods ? row.levels.size() : 0u);
            EXPECT_EQ(lines.find("Parameter Count: ") != std::string::npos, inParams);
        }
    }
}

// The time of the last run is the local time of its second, under the zone
// in force when it ran.
TEST_F(CalculationRun, TheLastExecutionFollowsTheClockAndTheZone) {
    static int64_t now;
    mv::SetClockForTesting([] { return now; });
    const char* tz = std::getenv("TZ");
    const std::optional<std::string> savedTz = tz ? std::optional<std::string>(tz) : std::nullopt;
    // 2024-02-27 02:13:20 UTC in microseconds since 1970.
    constexpr int64_t kStart = 1709000000000000;
    constexpr DATE kUtcDay = 45349.0;
    constexpr DATE kSecond = 1.0 / 86400;
    constexpr DATE kUtc = kUtcDay + (2 * 3600 + 13 * 60 + 20) * kSecond;
    const struct {
        int64_t micros;
        const char* zone;
        DATE expected;
    } rows[] = {
        {kStart, "UTC0", kUtc},
        {kStart, "JST-9", kUtc + 9 * 3600 * kSecond},  // the same second in another zone
        {kStart + 999999, "JST-9", kUtc + 9 * 3600 * kSecond},
        {kStart + 1000000, "JST-9", kUtc + (9 * 3600 + 1) * kSecond},
        {kStart + 1000000, "UTC0", kUtc + kSecond},
        {kStart - 1, "UTC0", kUtc - kSecond},
    };
    auto calc = NewCalculation();
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.micros << " " << row.zone);
        now = row.micros;
        setenv("TZ", row.zone, 1);
        EXPECT_EQ(calc->Calculate(), S_OK);
        DATE last = 0;
        calc->get_LastExecution(&last);
        EXPECT_NEAR(last, row.expected, 1e-9);
    }
    mv::SetClockForTesting(nullptr);
    if (savedTz)
        setenv("TZ", savedTz->c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(CalculationRun, OtherThreadsAutomationObjectsAreReleasedAndAnOddCountReported) {
    auto calc = NewCalculation();
    calc->put_Name(mv::Bstr(u"Calc").get());
    calc->put_OLEObjectName(mv::Bstr(u"Lab.Object").get());
    Counted normal(false), odd(true);
    calc->AddThreadOleObject(&normal, 11);
    calc->AddThreadOleObject(&odd, 12);
    values_test::LogCapture log;
    EXPECT_EQ(calc->ClearCache(), S_OK);
    EXPECT_EQ(log.Lines(),
              "CMvCalculation::ClearThreadDataArrays: S_OK\n"
              "CMvCalculation::ClearThreadDataArrays: Calc : An attempt to release COM (OLE) "
              "object \"Lab.Object\" for thread 1 of 2 had an unexpected reference count of 1. "
              "(thread ID=12).\n");
    EXPECT_EQ(normal.refs, 0);
    EXPECT_EQ(odd.refs, -1);  // both releases arrive whatever AddRef answered
}

TEST(CalculationRunText, NumbersAreAppendedWithSixteenDigits) {
    const std::pair<double, const char*> rows[] = {
        {0.25, "x0.2500000000000000"},
        {1e16, "x1.0000000000000000e+16"},
        {-1e20, "x-100000000000000000000.0000000000000000"},
    };
    for (const auto& [value, text] : rows) {
        mv::Bstr b(u"x");
        CMvCalculation::AppendDoubleToBstr(b, value);
        EXPECT_EQ(b.Utf8(), text);
    }
    mv::Bstr huge(u"");
    CMvCalculation::AppendDoubleToBstr(huge, -1e300);
    EXPECT_EQ(huge.Length(), 1u + 301u + 1u + 16u);
}

}  // namespace
}  // namespace calculation_test
