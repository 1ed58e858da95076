// Historian and calculation bindings in runs: resolution, batching by
// server, values with their quality and time, writes, the error texts, and
// inputs bound to other calculations.
#include "keldrin_bindings_test_support.h"

namespace keldtest {
namespace {

using parameter_test::ExpectSame;
using parameter_test::Typed;

constexpr ULONG kStamp = 1700000000;

mv::Variant R4(float f) {
    mv::Variant v;
    v.vt = VT_R4;
    v.fltVal = f;
    return v;
}

mv::Variant g_pairOutput;  // what the pair test's formula writes

class KeldrinRun : public KeldrinWorld {
protected:
    void SetUp() override {
        KeldrinWorld::SetUp();
        ASSERT_GT(KhSim_AddServer("NODEA", 11, 3, 0), 0);
        ASSERT_GT(KhSim_AddServer("NODEB", 11, 3, 0), 0);
        ASSERT_GT(KhSim_AddServer("LOCALNODE", 11, 3, 1), 0);
        KhSimValue v = Seeded(10.0, 0, 0, kStamp);
        in1_ = Field("NODEA", "R1", "F1", 0x10000, -15, &v);
        v = Seeded(20.0, 1);
        in2_ = Field("NODEB", "R2", "F2", 0x20000, -12, &v);
        v = Seeded(30.0, 0);
        in3_ = Field("NODEA", "R3", "F3", 0x30000, -10, &v);
        v = Seeded(40.0, 0);
        in4_ = Field("LOCALNODE", "R4", "F4", 0x40000, -6, &v);
        out1_ = Field("NODEA", "O1REC", "OF1", 0x50000, -16);
        out2_ = Field("NODEB", "O2REC", "OF2", 0x60000, -10);
    }
    LONG in1_ = 0, in2_ = 0, in3_ = 0, in4_ = 0, out1_ = 0, out2_ = 0;
};

TEST_F(KeldrinRun, ReadsEachServerInOneBatchAndWritesOutputsThroughUnits) {
    WriteCalc("OTHER", [](IMvCalculation* c) { c->put_FormulaType(1); });
    auto calc = Calc();
    auto in1 = Historian(calc.get(), "In1", mvcInput, "NODEA", "R1", "F1", 2.0, 4.0);
    auto in2 = Historian(calc.get(), "In2", mvcInput, "NODEB", "R2", "F2");
    auto in3 = Historian(calc.get(), "In3", mvcInput, "nodea", "R3", "F3");
    auto in4 = Historian(calc.get(), "In4", mvcInput, "LOCALHOST", "R4", "F4");
    auto k1 = Param(calc.get(), "K1", mvcInput, mvcNone);
    k1->put_Level(2);
    auto c1 = Param(calc.get(), "C1", mvcInput, mvcCalculation);
    c1->put_CalculationName(B("OTHER").get());
    auto o1 = Historian(calc.get(), "O1", mvcOutput, "NODEA", "O1REC", "OF1", 2.0, 1.0);
    auto o2 = Historian(calc.get(), "O2", mvcOutput, "NODEB", "O2REC", "OF2", 3.0, 0.0);

    ASSERT_EQ(mv::DispInvokeMethodByName(calc.get(), u"Calculate", nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(Error(calc.get()), "");
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MRDBVALS"), 2);
    EXPECT_EQ(KhSim_CallCount(KHSIM_KELDCORE, "MRDBVALS"), 1);
    ExpectSame(ValueOf(in1.get()), R4(3.0f));
    DATE stamp = 0.0;
    in1->get_TimeStamp(&stamp);
    DATE expected = 0.0;
    KeldrinTime t{kStamp, 0};
    KeldrinTimeToDate(0, &t, &expected);
    EXPECT_DOUBLE_EQ(stamp, expected);
    ExpectSame(ValueOf(in2.get()), Typed(VT_R8, 20.0));
    ExpectSame(ValueOf(in3.get()), Typed(VT_I4, 30.0));
    ExpectSame(ValueOf(in4.get()), Typed(VT_R8, 40.0));
    SHORT level = 0, status = 0;
    o1->get_Level(&level);
    o1->get_Status(&status);
    EXPECT_EQ(level, 2);
    EXPECT_EQ(status, -6);
    EXPECT_DOUBLE_EQ(Stored("NODEA", out1_, 0x50000), 15.0 * 2.0 + 1.0);
    EXPECT_DOUBLE_EQ(Stored("NODEB", out2_, 0x60000), 25.0 * 3.0);
    for (auto [p, node, record] :
         {std::tuple{in1.get(), "NODEA", in1_}, std::tuple{in2.get(), "NODEB", in2_},
          std::tuple{o1.get(), "NODEA", out1_}}) {
        LONG id = 0;
        p->get_Record_ID(&id);
        EXPECT_EQ(id, DaEmbedServerIndex(
                          static_cast<SHORT>(DaLookupAlias((std::string(node) + "__AC").c_str())),
                          record));
    }
    LONG decodes = KhSim_CallCount(KHSIM_BOTH, "DECODNAM");
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(KhSim_CallCount(KHSIM_BOTH, "DECODNAM"), decodes);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MRDBVALS"), 4);
}

// Historian outputs are written only outside the sandbox; a calculation
// binding is read in the input pass alone.
TEST_F(KeldrinRun, DispatchWritesOutsideTheSandboxAndReadsCalculationsOnInput) {
    WriteCalc("OTHER", [](IMvCalculation* c) { c->put_FormulaType(1); });
    for (LONG sandBox : {0, 1}) {
        SCOPED_TRACE(sandBox);
        g_formulaRuns = 0;
        LONG writes = KhSim_CallCount(KHSIM_API, "MWDBVALS");
        auto calc = Calc();
        calc->put_SandBoxMode(sandBox);
        Historian(calc.get(), "O1", mvcOutput, "NODEA", "O1REC", "OF1");
        Param(calc.get(), "C1", mvcOutput, mvcCalculation)->put_CalculationName(B("OTHER").get());
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(Error(calc.get()), "");
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MWDBVALS") - writes, sandBox ? 0 : 1);
        EXPECT_EQ(g_formulaRuns, 1);
    }
}

// Each row: one input bound as given; the run's exact error text.
TEST_F(KeldrinRun, ResolutionFailuresGiveTheirTexts) {
    ASSERT_EQ(KhSim_AddField("NODEA", in1_, "ODD", 0x70000, -17, 0), 1);
    static const std::string longName(40000, 'R');
    struct Row {
        const char *node, *record, *field, *text;
        LONG group;
    } rows[] = {
        {"NODE", "R1", "F1",
         "Keldrin Binding: Can't Connect to Server 'NODE Group 3' (Keldrin server not found. )\n",
         3},
        {"NODEA", "NOREC", "F1", "Keldrin Binding: Tag 'NOREC' Not Found on Node 'NODEA Group 0'\n",
         0},
        {"NODEA", "R1", "NOFIELD",
         "Keldrin Binding: Error Looking up Field 'NOFIELD' for Tag 'R1' on Node 'NODEA Group 0'\n",
         0},
        {"NODEA", "R1", "ODD",
         "Keldrin Binding: Error Looking up Field 'ODD' for Tag 'R1' on Node 'NODEA Group 0'\n", 0},
        {"NODEA", longName.c_str(), "F1", nullptr, 0},
    };
    for (const Row& row : rows) {
        auto calc = Calc();
        auto in = Historian(calc.get(), "In", mvcInput, row.node, row.record, row.field);
        in->put_GroupNumber(row.group);
        ASSERT_EQ(calc->Calculate(), S_OK);
        std::string text = Error(calc.get());
        if (row.text)
            EXPECT_EQ(text, row.text);
        else
            EXPECT_EQ(text.rfind("Keldrin Binding: Tag '", 0), 0u);
        EXPECT_EQ(g_formulaRuns, 0);
    }
}

TEST_F(KeldrinRun, AnEmptyNodeLetsTheOthersReadAndReportsOnEveryRun) {
    auto calc = Calc();
    Historian(calc.get(), "In0", mvcInput, "", "R1", "F1");
    auto in2 = Historian(calc.get(), "In2", mvcInput, "NODEB", "R2", "F2");
    for (int run = 0; run < 2; ++run) {
        in2->put_Value(mv::Variant(LONG{0}));
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(Error(calc.get()), "Keldrin Binding: No Node Name Defined\n");
        ExpectSame(ValueOf(in2.get()), Typed(VT_R8, 20.0));
    }
}

// Float (R1) and double (R2) fields.
TEST_F(KeldrinRun, NoValueUnderAMultiplierArrivesEmpty) {
    for (auto [node, record, field, id, tag] : {std::tuple{"NODEA", "R1", "F1", in1_, 0x10000},
                                                std::tuple{"NODEB", "R2", "F2", in2_, 0x20000}}) {
        SCOPED_TRACE(record);
        KhSimValue v = Seeded(0.0);
        v.IsSpecial = 1;
        v.SpecialClass = KELDRIN_CLASS_NOVALUE;
        ASSERT_EQ(KhSim_SetValue(node, id, tag, &v), 1);
        auto calc = Calc();
        auto in = Historian(calc.get(), "In", mvcInput, node, record, field, 2.0, 4.0);
        in->put_Value(mv::Variant(LONG{7}));
        ASSERT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(ValueOf(in.get()).vt, VT_EMPTY);
    }
}

// A 16-bit slot of two bytes moves the double behind it to the next
// multiple of 4, where the client puts it.
TEST_F(KeldrinRun, ValuesBehindA16BitSlotArriveWhole) {
    KhSimValue v = Seeded(7.0);
    Field("NODEA", "R16", "F16", 0x71000, -3, &v);
    v = Seeded(40.5);
    Field("NODEA", "RD", "FD", 0x72000, -6, &v);
    auto calc = Calc();
    auto shortIn = Historian(calc.get(), "In16", mvcInput, "NODEA", "R16", "F16");
    auto doubleIn = Historian(calc.get(), "InD", mvcInput, "NODEA", "RD", "FD");
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()), "");
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MRDBVALS"), 1);
    ExpectSame(ValueOf(shortIn.get()), Typed(VT_I2, 7.0));
    ExpectSame(ValueOf(doubleIn.get()), Typed(VT_R8, 40.5));
}

TEST_F(KeldrinRun, AFailingSecondBatchLeavesEveryInputUnchanged) {
    KhSimValue big = Seeded(1e12);
    ASSERT_EQ(KhSim_SetValue("NODEB", in2_, 0x20000, &big), 1);  // -12 holds it
    auto calc = Calc();
    auto in1 = Historian(calc.get(), "In1", mvcInput, "NODEA", "R1", "F1");
    auto in2 = Historian(calc.get(), "In2", mvcInput, "NODEB", "R2", "F2");
    in1->put_Value(mv::Variant(LONG{1}));
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()), "");
    // The same field read as a 32-bit integer does not fit.
    ASSERT_EQ(KhSim_AddField("NODEB", in2_, "SMALL", 0x21000, -10, 0), 1);
    ASSERT_EQ(KhSim_SetValue("NODEB", in2_, 0x21000, &big), 1);
    auto calc2 = Calc();
    auto a = Historian(calc2.get(), "In1", mvcInput, "NODEA", "R1", "F1");
    auto b = Historian(calc2.get(), "In2", mvcInput, "NODEB", "R2", "SMALL");
    a->put_Value(mv::Variant(LONG{1}));
    ASSERT_EQ(calc2->Calculate(), S_OK);
    KeldrinErrorBlock range{KELDRIN_E_RANGE, 0, 0, 0};
    EXPECT_EQ(Error(calc2.get()),
              "Error reading Keldrin field \"SMALL\":" + KeldrinErrorMessage(&range, false));
    ExpectSame(ValueOf(a.get()), Typed(VT_I4, 1.0));
    EXPECT_EQ(g_formulaRuns, 1);
}

// A read or a write that throws fails the run with its text: the formula
// does not run on inputs not read, and nothing is written.
TEST_F(KeldrinRun, AReadOrWriteThatThrowsFailsTheRun) {
    const struct {
        const char* call;
        int formulaRuns;
    } rows[] = {{"MRDBVALS", 0}, {"MWDBVALS", 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.call);
        g_formulaRuns = 0;
        auto calc = Calc();
        auto in1 = Historian(calc.get(), "In1", mvcInput, "NODEA", "R1", "F1");
        Historian(calc.get(), "O1", mvcOutput, "NODEA", "O1REC", "OF1");
        in1->put_Value(mv::Variant(LONG{1}));
        KhSim_ThrowInCall(KHSIM_API, row.call, 1);
        ASSERT_EQ(calc->Calculate(), S_OK);
        KhSim_ThrowInCall(KHSIM_API, row.call, 0);
        EXPECT_EQ(
            Error(calc.get()),
            std::string("\nA runtime error occurred: injected exception in ") + row.call + ".");
        EXPECT_EQ(g_formulaRuns, row.formulaRuns);
        EXPECT_EQ(Stored("NODEA", out1_, 0x50000), 0.0);
    }
}

TEST_F(KeldrinRun, ATwoIntegerOutputWritesItsPairOrIsRefused) {
    LONG rec = Field("NODEA", "PAIR", "P", 0x80000, -2);
    MvSetFormulaExecutor(1, [](CMvCalculation&, const ParamInfoTable& table) {
        table.Records.back().Parameter->put_Value(g_pairOutput);
    });
    auto calc = Calc();
    auto out = Historian(calc.get(), "P", mvcOutput, "NODEA", "PAIR", "P");
    VARIANT pair = KeldrinBufferToVariant(7, 9);
    g_pairOutput = mv::Variant(pair);
    VariantClear(&pair);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()), "");
    KhSimValue v{};
    char text[8] = {};
    ASSERT_EQ(KhSim_GetValue("NODEA", rec, 0x80000, &v, text, sizeof text), 1);
    EXPECT_EQ(v.Pair[0], 7);
    EXPECT_EQ(v.Pair[1], 9);
    g_pairOutput = mv::Variant(LONG{3});
    ASSERT_EQ(calc->Calculate(), S_OK);
    g_pairOutput.Clear();
    EXPECT_EQ(Error(calc.get()),
              "Error writing Keldrin field \"P\":value is not a pair of integers");
    ASSERT_EQ(KhSim_GetValue("NODEA", rec, 0x80000, &v, text, sizeof text), 1);
    EXPECT_EQ(v.Pair[0], 7);
}

TEST_F(KeldrinRun, FormatKeldrinErrorNamesTheFailingFieldByVersion) {
    ASSERT_GT(KhSim_AddServer("OLDNODE", 11, 2, 0), 0);
    LONG old = Field("OLDNODE", "OLDREC", "AVERYLONGFIELDNAME", 0x90000, -6);
    LONG local = Field("LOCALNODE", "LREC", "AVERYLONGFIELDNAME", 0x90000, -6);
    LoadKeldcoreLibrary();
    auto calc = Calc();
    auto* impl = static_cast<CMvCalculation*>(calc.get());
    KeldrinErrorBlock err{KELDRIN_E_NOFIELD, 0, 0, 0};
    struct Row {
        const char* node;
        KeldrinRecField pair;
        SHORT failIndex;
        bool local;
        const char* operation;
        std::string text;
    } rows[] = {
        {"NODEA", {in1_, 0x10000}, 0, false, "reading", "Error reading Keldrin field \"F1\":"},
        {"OLDNODE",
         {old, 0x90000},
         0,
         false,
         "writing",
         "Error writing Keldrin field \"AVERYLONGFIE\":"},
        {"NODEA", {in1_, 0x10000}, 1, false, "reading", "Error reading Keldrin field:"},
        {"NODEA", {in1_, 0x10000}, -1, false, "reading", "Error reading Keldrin field:"},
        {"LOCALNODE",
         {local, 0x90000},
         0,
         true,
         "reading",
         "Error reading local Keldrin field \"AVERYLONGFIELDNAME\":"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        KeldrinErrorBlock select{};
        if (!row.local)
            DaSetDefaultServer(static_cast<SHORT>(ConnectKeldrinNode(row.node, &select, nullptr)),
                               &select);
        FormatKeldrinError(*impl, err, 1, &row.pair, row.failIndex, row.operation, row.local);
        EXPECT_EQ(Error(calc.get()), row.text + KeldrinErrorMessage(&err, row.local));
    }
}

// Calculation bindings.
TEST_F(KeldrinRun, CalculationBindingsRunTheBoundCalculationPerReadAndReportItsFailures) {
    WriteCalc("OTHER", [](IMvCalculation* c) { c->put_FormulaType(1); });
    auto calc = Calc();
    auto c1 = Param(calc.get(), "C1", mvcInput, mvcCalculation);
    auto c2 = Param(calc.get(), "C2", mvcInput, mvcCalculation);
    c1->put_CalculationName(B("OTHER").get());
    c2->put_CalculationName(B("OTHER").get());
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()), "");
    EXPECT_EQ(g_formulaRuns, 3);  // OTHER twice, then CALC

    c2->put_CalculationName(B("MISSING").get());
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()),
              "Error reading parameter \"C2\", calculation \"MISSING\" not found");

    WriteCalc("FAILS", [](IMvCalculation* c) { c->put_FormulaType(2); });
    c1->put_Value(mv::Variant(LONG{11}));
    c1->put_CalculationName(B("FAILS").get());
    c2->put_CalculationName(B("OTHER").get());
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()),
              "Error in calculation \"FAILS\" when reading parameter \"C1\": the formula failed");
    ExpectSame(ValueOf(c1.get()), Typed(VT_I4, 11.0));
}

// A bound value that cannot be stored for lack of memory fails the run
// before the formula runs, rather than leave the old value under the bound
// calculation's level.
TEST_F(KeldrinRun, ABoundValueThatCannotBeStoredFailsTheRun) {
    WriteCalc("OTHER", [](IMvCalculation* c) { c->put_FormulaType(1); });
    auto calc = Calc();
    auto p = parameter_test::NewShortOfMemoryParameter();
    p->put_Name(B("C1").get());
    p->put_ParameterType(mvcInput);
    p->put_BindingType(mvcCalculation);
    p->put_CalculationName(B("OTHER").get());
    p->failStores = true;
    mv::ComPtr<IMvObjCollection> parameters;
    calc->get_Parameters(parameters.Put());
    ASSERT_EQ(parameters->Add(B("C1").get(), p.get()), S_OK);
    ASSERT_EQ(calc->Calculate(), S_OK);
    EXPECT_EQ(Error(calc.get()), "Caught Error while Processing Calculation.");
    EXPECT_EQ(g_formulaRuns, 1);  // OTHER alone
}

TEST_F(KeldrinRun, ACycleOfCalculationBindingsEnds) {
    WriteCalc("A", [](IMvCalculation* c) {
        c->put_FormulaType(1);
        mv::ComPtr<IMvParameter> p;
        c->AddParameter(B("B1").get(), p.Put());
        p->put_ParameterType(mvcInput);
        p->put_BindingType(mvcCalculation);
        p->put_CalculationName(B("B").get());
    });
    WriteCalc("B", [](IMvCalculation* c) {
        c->put_FormulaType(1);
        mv::ComPtr<IMvParameter> p;
        c->AddParameter(B("A1").get(), p.Put());
        p->put_ParameterType(mvcInput);
        p->put_BindingType(mvcCalculation);
        p->put_CalculationName(B("A").get());
    });
    mv::ComPtr<IMvCalculation> a;
    ASSERT_EQ(g_GetCalcObject(B("A").get(), a.Put()), S_OK);
    ASSERT_TRUE(a);
    ASSERT_EQ(a->Calculate(), S_OK);
    EXPECT_EQ(Error(a.get()), "");
    EXPECT_EQ(g_formulaRuns, 2);
}

}  // namespace
}  // namespace keldtest
