// The catch-up over history and its parts: sample counts and stamps, the
// read forms by server version, failing and refused reads, the recent
// history times, the output times, the decision trace of an unfinished
// catch-up, and the check pass that reaches a calculation only in history
// mode.
#include <cmath>
#include <functional>
#include <new>
#include <regex>
#include <utility>

#include "../persistence/values_test_support.h"
#include "calculation/calculation.h"
#include "store_forward_test_support.h"

namespace sftest {
namespace {

CMvCalculation* Impl(IMvCalculation* calc) {
    return dynamic_cast<CMvCalculation*>(calc);
}

std::string Text(const KeldrinTime& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%u.%06u", t.Seconds, t.Micro);
    return text;
}

class CatchUp : public StoreForwardWorld {
protected:
    void TearDown() override {
        MvSetDataSetReader(nullptr);
        MvSetBindingBatchStep(mvcKeldrin, nullptr);
        StoreForwardWorld::TearDown();
    }
    // A loaded calculation's run prepared as the driver prepares it: its
    // table built and its inputs read.
    ParamInfoShare Prepare(CMvCalculation* calc) {
        ParamInfoShare table = calc->SetupParamInfo();
        SHORT level = -1, status = -2;
        calc->ProcessDataBindings(*table, INPUT_PASS, &level, &status, nullptr);
        return table;
    }
    // Runs ExecuteOnHistory of `name` from begin to end; the last run's time.
    KeldrinTime Execute(const std::string& name, IMvScheduleGroup* group, const KeldrinTime& begin,
                        const KeldrinTime& end) {
        auto loaded = Loaded(name);
        CMvCalculation* calc = Impl(loaded.get());
        ParamInfoShare table = Prepare(calc);
        KeldrinTime last = kNoKeldrinTime;
        calc->ExecuteOnHistory(table, group, &begin, &end, &last);
        return last;
    }
    static std::string ErrorOf(const std::string& name) { return Error(Loaded(name).get()); }
    static std::vector<std::string> Stamps(const std::vector<Filed>& filed) {
        std::vector<std::string> out;
        for (const Filed& f : filed) out.push_back(Text(f.Time));
        return out;
    }
    static std::vector<std::string> Every(const KeldrinTime& first, double seconds, int count) {
        std::vector<std::string> out;
        for (int k = 0; k < count; ++k) {
            const double at = first.Seconds + first.Micro / 1e6 + seconds * k;
            const auto whole = static_cast<ULONG>(at);
            out.push_back(Text({whole, static_cast<ULONG>(std::lround((at - whole) * 1e6))}));
        }
        return out;
    }
};

// Sample counts by span and period: runs from the second sample on, each
// stamped with its sample's time, which the formula also reads as its
// scheduled time (local and UTC).
TEST_F(CatchUp, RunsOncePerPeriodAfterBeginStampedWithTheSampleTime) {
    struct Case {
        const char* name;
        DATE rate;
        const char* begin;
        const char* end;
        int runs;
        double every;  // seconds between runs
        const char* last;
    } cases[] = {
        {"ThreeHours", 1.0 / 24, "03:00", "06:00", 3, 3600, "06:00"},
        {"ThreeAndAHalfHours", 1.0 / 24, "03:00", "06:30", 3, 3600, "06:00"},
        {"Daily", 1.0, "2024-03-09T00:00", "00:00", 1, 86400, "00:00"},
        {"TwentyThousandPeriods", 1.0 / 1440, "2024-03-01T00:00", "2024-03-14T21:20", 9999, 60,
         "2024-03-07T22:39"},
        {"TwentyFiveTenths", 2.5 / 86400, "03:00", "03:00:10", 4, 2.5, "03:00:10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian();
        Hourly(in1_, kIn1, At("2024-02-29T00:00"), At("07:00"));
        SaveCalc(c.name, 1, true);
        auto group = Group(c.name, c.rate);
        const KeldrinTime last = Execute(c.name, group.get(), At(c.begin), At(c.end));
        EXPECT_EQ(Text(last), Text(At(c.last)));
        EXPECT_EQ(Runs(), c.runs);
        EXPECT_EQ(ErrorOf(c.name), "");
        const std::vector<Filed> written = History(out_, kOut);
        const auto expected = Every(At(c.begin), c.every, c.runs + 1);
        EXPECT_EQ(Stamps(written), std::vector<std::string>(expected.begin() + 1, expected.end()));
        for (const Filed& f : written) {
            EXPECT_NEAR(f.Value, ValueAt({f.Time.Seconds / 3600 * 3600, 0}), 1e-9);
        }
        // Scheduled holds what the formula read as its scheduled time.
        const std::vector<Filed> scheduled = History(out_, kScheduled);
        ASSERT_EQ(scheduled.size(), written.size());
        for (size_t k = 0; k < written.size(); ++k) {
            EXPECT_NEAR(scheduled[k].Value, DateOf(written[k].Time), 1e-9);
        }
    }
}

TEST_F(CatchUp, ASpanOfNothingReadsNothingAndARateOfZeroReadsOnlyTheBegin) {
    Historian();
    Hourly(in1_, kIn1, At("00:00"), At("06:00"));
    SaveCalc("Calc");
    struct Case {
        DATE rate;
        const char* end;
        LONG reads;
    } cases[] = {{1.0 / 24, "03:00", 0}, {1.0 / 24, "02:00", 0}, {0.0, "06:00", 1}};
    for (const Case& c : cases) {
        auto group = Group("Calc", c.rate);
        const LONG before = KhSim_CallCount(KHSIM_BOTH, "RHISKDINTERPOLATE");
        reset_();
        EXPECT_EQ(Text(Execute("Calc", group.get(), At("03:00"), At(c.end))), Text(kNoKeldrinTime));
        EXPECT_EQ(Runs(), 0);
        EXPECT_EQ(KhSim_CallCount(KHSIM_BOTH, "RHISKDINTERPOLATE") - before, c.reads);
    }
    EXPECT_TRUE(History(out_, kOut).empty());
}

// A server older than 11.3 has no interpolated read: one input alone is read
// raw and runs at the scheduled times with its last sample at or before
// each, none running where it has none; beside another input it is refused
// before anything is read.
TEST_F(CatchUp, RawReadsRunAtTheScheduledTimesAndAreRefusedBesideAnotherInput) {
    Historian(11, 2);
    for (const char* t : {"03:20", "04:10"}) AddSample(in1_, kIn1, At(t), ValueAt(At(t)));
    AddSample(in2_, kIn2, At("03:00"), 1.0);
    SaveCalc("One");
    auto group = Group("One");
    EXPECT_EQ(Text(Execute("One", group.get(), At("02:00"), At("06:00"))), Text(At("06:00")));
    EXPECT_EQ(Runs(), 3);
    const std::vector<Filed> written = History(out_, kOut);
    EXPECT_EQ(Stamps(written), Every(At("04:00"), 3600, 3));
    const char* sources[] = {"03:20", "04:10", "04:10"};
    for (size_t k = 0; k < written.size() && k < 3; ++k)
        EXPECT_NEAR(written[k].Value, ValueAt(At(sources[k])), 1e-9);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "RHISKDINTERPOLATE"), 0);

    SaveCalc("Two", 2);
    group = Group("Two");
    reset_();
    const LONG reads = KhSim_CallCount(KHSIM_API, "RHISKDDATA");
    EXPECT_EQ(Text(Execute("Two", group.get(), At("03:00"), At("06:00"))), Text(kNoKeldrinTime));
    EXPECT_EQ(ErrorOf("Two"),
              "Error reading history Keldrin field \"VAL\":interpolated history needs server "
              "version 11.3 or later");
    EXPECT_EQ(Runs(), 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "RHISKDDATA"), reads);
}

// An input that is extrapolated, an input-and-output, or one without a
// history field is not read: every run sees its current value.
TEST_F(CatchUp, InputsLeftOutOfHistoryKeepTheirCurrentValue) {
    struct Case {
        const char* name;
        void (*change)(IMvParameter*);
        double weight;  // WeightedSum counts plain inputs only
    } cases[] = {
        {"Extrapolated", [](IMvParameter* p) { p->put_Extrapolate(VARIANT_TRUE); }, 2},
        {"InputOutput", [](IMvParameter* p) { p->put_ParameterType(mvcInputOutput); }, 0},
        {"NoHistoryField", [](IMvParameter* p) { p->put_HistoryField_ID(0); }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian();
        Hourly(in1_, kIn1, At("00:00"), At("06:00"));
        Hourly(in2_, kIn2, At("00:00"), At("06:00"));
        Current(in2_, kIn2, At("06:30"));
        SaveCalc(c.name, 2);
        {
            auto calc = Loaded(c.name);
            mv::ComPtr<IMvParameter> in2;
            ASSERT_EQ(calc->GetParameter(B("In2").get(), in2.Put()), S_OK);
            c.change(in2.get());
        }
        auto group = Group(c.name);
        EXPECT_EQ(Text(Execute(c.name, group.get(), At("03:00"), At("05:00"))), Text(At("05:00")));
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "RHISKDINTERPOLATE"), 1);
        const std::vector<Filed> written = History(out_, kOut);
        ASSERT_EQ(written.size(), 2u);
        for (const Filed& f : written) {
            EXPECT_NEAR(f.Value, ValueAt(f.Time) + c.weight * ValueAt(At("06:30")), 1e-9);
        }
    }
}

// The first failing read ends the reads and names its input, though a later
// input's read would succeed; no sample runs.
TEST_F(CatchUp, TheFirstFailingReadStopsTheCatchUp) {
    Historian();
    Hourly(in1_, kIn1, At("00:00"), At("06:00"));
    Hourly(in2_, kIn2, At("00:00"), At("06:00"));
    SaveCalc("Calc", 2);
    auto group = Group("Calc");
    KhSim_FailCall(KHSIM_API, "RHISKDINTERPOLATE", KELDRIN_E_NOFIELD, in1_, kIn1, 1);
    EXPECT_EQ(Text(Execute("Calc", group.get(), At("03:00"), At("06:00"))), Text(kNoKeldrinTime));
    EXPECT_EQ(ErrorOf("Calc").rfind("Error reading history Keldrin field \"VAL\":", 0), 0u)
        << ErrorOf("Calc");
    EXPECT_EQ(Runs(), 0);
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "RHISKDINTERPOLATE"), 1);
    EXPECT_TRUE(History(out_, kOut).empty());
}

// A sample at which an input has no history yet (the historian's no-value
// status) runs nothing and stores nothing; the catch-up goes on past it.
TEST_F(CatchUp, SamplesBeforeAnInputsHistoryRunNothing) {
    Historian();
    Hourly(in1_, kIn1, At("00:00"), At("06:00"));
    Hourly(in2_, kIn2, At("04:00"), At("06:00"));
    SaveCalc("Calc", 2);
    auto group = Group("Calc");
    EXPECT_EQ(Text(Execute("Calc", group.get(), At("00:00"), At("06:00"))), Text(At("06:00")));
    EXPECT_EQ(Runs(), 3);
    EXPECT_EQ(ErrorOf("Calc"), "");
    const std::vector<Filed> written = History(out_, kOut);
    EXPECT_EQ(Stamps(written), Every(At("04:00"), 3600, 3));
    for (const Filed& f : written) EXPECT_NEAR(f.Value, 3 * ValueAt(f.Time), 1e-9);
}

TEST_F(CatchUp, ARunThatFailsStopsTheLoopAtItsSample) {
    Historian();
    Hourly(in1_, kIn1, At("00:00"), At("06:00"));
    AddSample(in1_, kIn1, At("05:00"), -1.0);
    SaveCalc("Calc");
    auto group = Group("Calc");
    EXPECT_EQ(Text(Execute("Calc", group.get(), At("03:00"), At("07:00"))), Text(At("05:00")));
    EXPECT_EQ(Runs(), 2);
    EXPECT_EQ(Stamps(History(out_, kOut)), std::vector<std::string>{Text(At("04:00"))});
    EXPECT_EQ(ErrorOf("Calc"), "A runtime error occurred: sensor fault on input 1.");
}

// A run that throws (here a data set's output pass running out of memory at
// the second sample) shows it in the error text and stops the loop there.
TEST_F(CatchUp, ARunThatThrowsStopsTheLoopAtItsSample) {
    static int writes = 0;
    writes = 0;
    MvSetDataSetReader([](CMvCalculation&, LONG mask, IMvDataSet*) {
        if (mask == 2 && ++writes == 2) throw std::bad_alloc();
    });
    Historian();
    Hourly(in1_, kIn1, At("00:00"), At("06:00"));
    SaveCalc("Calc");
    {
        mv::ComPtr<IMvDataSet> set;
        ASSERT_EQ(Loaded("Calc")->AddDataSet(B("Set").get(), set.Put()), S_OK);
    }
    auto group = Group("Calc");
    const KeldrinTime last = Execute("Calc", group.get(), At("03:00"), At("06:00"));
    EXPECT_EQ(Text(last), Text(At("05:00")));
    EXPECT_EQ(Runs(), 2);
    EXPECT_EQ(ErrorOf("Calc"), "Caught Error while Processing Calculation.");
    EXPECT_EQ(Stamps(History(out_, kOut)),
              (std::vector<std::string>{Text(At("04:00")), Text(At("05:00"))}));
}

// The newest history time of each input at the historian's time: the
// earliest of them wins; a status word of 12 is retried once in mode 4.
TEST_F(CatchUp, RecentHistoryTimesTakeTheEarliestAndRetryOnceOnTwelve) {
    Historian();
    AddSample(in1_, kIn1, At("10:00"), 1.0);
    AddSample(in2_, kIn2, At("09:00"), 1.0);
    SetClock(At("11:00"));
    SaveCalc("Calc", 2);
    struct Case {
        LONG err2;
        LONG times;
        HRESULT result;
        const char* earliest;
        LONG reads;
    } cases[] = {
        {0, 0, S_OK, "09:00", 2},
        {12, 1, S_OK, "09:00", 3},
        {11, 1, E_UNEXPECTED, nullptr, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err2);
        auto loaded = Loaded("Calc");
        CMvCalculation* calc = Impl(loaded.get());
        ParamInfoShare table = Prepare(calc);
        KhSim_FailCall(KHSIM_API, "RHISKDDATA", KELDRIN_E_BADTIME, 0, c.err2, c.times);
        const LONG before = KhSim_CallCount(KHSIM_API, "RHISKDDATA");
        KeldrinTime earliest = kNoKeldrinTime;
        EXPECT_EQ(calc->FindEarliestRecentHistoryTime(*table, &earliest), c.result);
        EXPECT_EQ(KhSim_CallCount(KHSIM_API, "RHISKDDATA") - before, c.reads);
        EXPECT_EQ(Text(earliest), Text(c.earliest ? At(c.earliest) : kNoKeldrinTime));
        if (c.result == E_UNEXPECTED) {
            EXPECT_EQ(
                Error(loaded.get()).rfind("Error reading raw history Keldrin field \"VAL\":", 0),
                0u);
        }
        KhSim_FailCall(KHSIM_API, "RHISKDDATA", 0, 0, 0, 0);
    }
    // No recent time anywhere: S_OK and the time as it came in.
    SetClock(At("08:00"));
    auto loaded = Loaded("Calc");
    ParamInfoShare table = Prepare(Impl(loaded.get()));
    KeldrinTime earliest = At("07:00");
    EXPECT_EQ(Impl(loaded.get())->FindEarliestRecentHistoryTime(*table, &earliest), S_OK);
    EXPECT_EQ(Text(earliest), Text(At("07:00")));
}

// The newest of the times the historian holds for the outputs, read through
// the request type of each field type; a time field is not read.
TEST_F(CatchUp, LastCalculatedTimeIsTheNewestOutputTime) {
    ASSERT_GT(KhSim_AddServer("PLANT", 11, 3, 0), 0);
    struct Output {
        const char* field;
        SHORT type;
        const char* stamp;
    } outputs[] = {
        {"A", -12, "10:00"}, {"B", -10, "10:05"}, {"T", -8, "11:00"}, {"S", 20, "09:00"}};
    const LONG record = KhSim_AddRecord("PLANT", "OUTS", 0);
    LONG tag = 0x40000;
    WriteCalc("Calc", [&](IMvCalculation* c) {
        for (const Output& o : outputs)
            keldtest::KeldrinWorld::Historian(c, o.field, mvcOutput, "PLANT", "OUTS", o.field);
    });
    for (const Output& o : outputs) {
        ASSERT_EQ(KhSim_AddField("PLANT", record, o.field, tag, o.type, 0), 1);
        KhSimValue v = Sample(At(o.stamp), 1.0);
        v.Text = "characters";
        v.Time = At("12:00");
        ASSERT_EQ(KhSim_SetValue("PLANT", record, tag, &v), 1);
        tag += 0x1000;
    }
    auto loaded = Loaded("Calc");
    CMvCalculation* calc = Impl(loaded.get());
    ParamInfoShare table = calc->SetupParamInfo();
    KeldrinTime last = kNoKeldrinTime;
    const LONG reads = KhSim_CallCount(KHSIM_API, "MRDBVALS");
    calc->GetLastCalculatedTime(*table, nullptr, &last);
    EXPECT_EQ(Text(last), Text(At("10:05")));
    EXPECT_EQ(KhSim_CallCount(KHSIM_API, "MRDBVALS") - reads, 3);
    // The character field moves past the others: the newest is now its.
    KhSimValue v = Sample(At("10:07"), 0.0);
    v.Text = "newer";
    ASSERT_EQ(KhSim_SetValue("PLANT", record, 0x43000, &v), 1);
    calc->GetLastCalculatedTime(*table, nullptr, &last);
    EXPECT_EQ(Text(last), Text(At("10:07")));
}

TEST_F(CatchUp, OnlyTypesWithQualityAndTimeCount) {
    for (LONG type : {-8, -7, -2, -1}) EXPECT_FALSE(CMvCalculation::DataTypeHasQT(type)) << type;
    for (LONG type : {-6, -3, -12, -16, -17, 0, 20})
        EXPECT_TRUE(CMvCalculation::DataTypeHasQT(type)) << type;
}

// Seeds the state table's unfinished catch-up: last result at 03:00, the
// input current to 05:00, the historian at 06:10.
class Driver : public CatchUp {
protected:
    void Unfinished(const std::string& name) {
        Historian();
        SetClock(At("06:10"));
        Current(in1_, kIn1, At("05:00"));
        Hourly(in1_, kIn1, At("00:00"), At("05:00"));
        LastResult(At("03:00"));
        SaveCalc(name);
        Group(name);
    }
    // "Calc", a VBScript formula of Level (on In1) with the outputs Result
    // (on OUT's result) and Alarm (on OUT's second field).
    void SaveScript(const char* script) {
        WriteCalc("Calc", [&](IMvCalculation* calc) {
            calc->put_FormulaType(mvcVBS_Script_Method);
            calc->put_ScriptText(B(script).get());
            calc->put_EnableStoreAndForward(VARIANT_TRUE);
            keldtest::KeldrinWorld::Historian(calc, "Level", mvcInput, "PLANT", "IN1", "VAL")
                ->put_HistoryField_ID(kIn1);
            keldtest::KeldrinWorld::Historian(calc, "Result", mvcOutput, "PLANT", "OUT", "RESULT");
            keldtest::KeldrinWorld::Historian(calc, "Alarm", mvcOutput, "PLANT", "OUT", "SCHED");
        });
    }
    // The "Results" lines of one calculate pass of the group.
    std::string TracedPass() {
        values_test::LogCapture capture;
        g_DiagnosticLog.m_Flags[LogResults] = 1;
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        g_DiagnosticLog.m_Flags[LogResults] = 0;
        return capture.Lines();
    }
    static LONG State(IMvCalculation* calc) {
        VARIANT_BOOL history = 0;
        calc->get_IsStoreForwardHistoryMode(&history);
        mv::Bstr text;
        calc->get_StoreForwardStatus(text.Out());
        return text.Utf8() == "Forward - Calculating on history data" ? 2 : history ? 56 : 0;
    }
};

// The decision trace of a catch-up that ends behind the current scheduled
// time, elapsed seconds masked.
TEST_F(Driver, TheResultsTraceOfAnUnfinishedCatchUp) {
    Unfinished("Unfinished");
    std::string lines = TracedPass();
    lines = std::regex_replace(lines, std::regex(R"(\( [0-9]+\.[0-9]{16} \))"), "( S )");
    const std::string d = "CMvCalculation::CheckOrCalculateStoreForward( ";
    const std::string h = "CMvCalculation::ExecuteOnHistory( ";
    const std::string e = "Time Elapsed : ( S )\n";
    EXPECT_EQ(lines,
              d +
                  "CalcName=Unfinished; SchedGrp=Hourly; Check=FALSE; GloballyEnabledSF=TRUE; "
                  "LocallyEnableSF=TRUE. )\n" +
                  d + "ProcessDataBindings() )\n" + e + d + "GetOldestInputTime() )\n" + e + d +
                  "oldestInputTime=10-MAR-2024 05:00:00. )\n" + d +
                  "currentTime=10-MAR-2024 06:10:00. )\n" + d + "GetLastCalculatedTime() )\n" + e +
                  d + "lastCalculatedTime=10-MAR-2024 03:00:00. )\n" + d +
                  "GetPreviousScheduledTime() )\n" + e + d +
                  "previousScheduledTime=10-MAR-2024 03:00:00. )\n" + d +
                  "GetNextScheduledTime() )\n" + e + d +
                  "nextScheduledTime=10-MAR-2024 04:00:00. )\n" + d +
                  "Next scheduled time has arrived and all inputs are current so lets calculate "
                  "on history. )\n" +
                  d + "FindEarliestRecentHistoryTime() )\n" + e + d +
                  "latestHistoryTime=10-MAR-2024 05:00:00. )\n" + d + "GetLastScheduledTime() )\n" +
                  e + d + "lastAvailableScheduledTime=10-MAR-2024 05:00:00. )\n" + h +
                  "Success reading history. Begin time: 10-MAR-2024 03:00:00; End time: "
                  "10-MAR-2024 05:00:00; Found 3 samples; Period: 36000 10th secs. )\n" +
                  d + "ExecuteOnHistory() for interval schedule )\n" + e + d +
                  "GetPreviousScheduledTime() )\n" + e + d +
                  "currentScheduledTime=10-MAR-2024 06:00:00. )\n" + d +
                  "newLastCalculatedTime=10-MAR-2024 05:00:00. )\n" + d +
                  "New calculated time does not match the current scheduled time so forward mode "
                  "is active.  Wait a short cycle. )\n" +
                  d + "Clean up and finish,2. )\n" + e + "Calculation Time : ( S )\n");
}

// The group's check pass reaches a calculation in states 2, 5 and 6 only,
// unless forced; reaching it clears its error text at the start.
TEST_F(Driver, TheCheckPassReachesOnlyHistoryModeUnlessForced) {
    Unfinished("Calc");
    auto calc = Loaded("Calc");
    auto reached = [&](VARIANT_BOOL force) {
        calc->put_ErrorText(B("marker").get());
        EXPECT_EQ(group_->CheckStoreForward(VARIANT_TRUE, force), S_OK);
        return Error(calc.get()) != "marker";
    };
    EXPECT_FALSE(reached(VARIANT_FALSE)) << "state 0 at creation";
    EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
    ASSERT_EQ(State(calc.get()), 2);
    // The input catches up: the check runs the rest of the catch-up.
    Current(in1_, kIn1, At("06:05"));
    AddSample(in1_, kIn1, At("06:00"), ValueAt(At("06:00")));
    EXPECT_TRUE(reached(VARIANT_FALSE));
    ASSERT_EQ(State(calc.get()), 0);
    EXPECT_EQ(Runs(), 3);
    EXPECT_FALSE(reached(VARIANT_FALSE));
    EXPECT_TRUE(reached(VARIANT_TRUE));
    // The input falls two periods behind the next scheduled time: state 6,
    // reached again.
    SetClock(At("08:40"));
    EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
    ASSERT_EQ(State(calc.get()), 56);
    EXPECT_TRUE(reached(VARIANT_FALSE));
}

// A missing group, a historian without a current time, and a keldrin_api
// stopped by an environment's final release.
TEST_F(Driver, RefusesANullGroupAndKeepsTheStateWithoutACurrentTime) {
    Unfinished("Calc");
    auto calc = Loaded("Calc");
    calc->put_ErrorText(B("kept").get());
    EXPECT_EQ(calc->CalculateStoreForward(VARIANT_TRUE, nullptr), E_INVALIDARG);
    EXPECT_EQ(calc->CheckStoreForward(VARIANT_TRUE, nullptr), E_INVALIDARG);
    EXPECT_EQ(Error(calc.get()), "kept");

    KhSim_FailCall(KHSIM_BOTH, "GETDBXTIM", KELDRIN_E_BADARG, 0, 0, -1);
    std::string text;
    {
        values_test::LogCapture capture;
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        text = capture.Lines();
    }
    KhSim_FailCall(KHSIM_BOTH, "GETDBXTIM", 0, 0, 0, 0);
    EXPECT_NE(text.find("CMvCalculation::CheckOrCalculateStoreForward: currentTime is none."),
              std::string::npos)
        << text;
    EXPECT_EQ(State(calc.get()), 0);
    EXPECT_EQ(Runs(), 0);

    NewEnvironment();  // its final release stops keldrin_api and empties the cache
    EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
    calc = Loaded("Calc");
    EXPECT_EQ(State(calc.get()), 2);
    EXPECT_EQ(Runs(), 2);
    LONG busy = 1;
    calc->get_BeingCalculated(&busy);
    EXPECT_EQ(busy, 0);
}

// A raw read (a server older than 11.3) runs at the scheduled times after
// the last result, each with the input's last sample at or before its time
// wherever that lies, and catches up in one pass: per-minute samples in an
// hourly group, ten-minute samples on and off the day's start and every
// second in a day group, and an input archived on change whose last change
// before the day lies days back.
TEST_F(Driver, RawReadsRunAtTheScheduledTimesAfterTheLastResultInOnePass) {
    struct Case {
        const char* name;
        bool daily;
        const char* from;  // the samples: from `from` to `to` every `every`
        const char* to;    // seconds, or only these two with every 0
        int every;
        const char* stored;
        const char* clock;
        const char* runs;     // the scheduled times run, blank-separated
        const char* sources;  // the sample each of them takes
    } cases[] = {
        {"PerMinuteHourly", false, "00:00", "06:00", 60, "03:00", "06:10", "04:00 05:00 06:00",
         "04:00 05:00 06:00"},
        {"PerMinuteHourlyOffTheGrid", false, "00:00", "06:00", 60, "03:00:30", "06:10",
         "04:00 05:00 06:00", "04:00 05:00 06:00"},
        {"TenMinutesDaily", true, "2024-03-09T00:00", "00:20", 600, "2024-03-09T00:00", "00:30",
         "00:00", "00:00"},
        {"TenMinutesOffTheHourDaily", true, "2024-03-09T00:07", "00:27", 600, "2024-03-09T00:00",
         "00:30", "00:00", "2024-03-09T23:57"},
        {"EverySecondDaily", true, "2024-03-09T00:00", "00:20", 1, "2024-03-09T00:00", "00:30",
         "00:00", "00:00"},
        {"ArchivedOnChangeDaily", true, "2024-03-07T12:00", "00:20", 0, "2024-03-09T00:00", "00:30",
         "00:00", "2024-03-07T12:00"},
    };
    auto times = [](const char* list) {
        std::vector<KeldrinTime> out;
        std::istringstream in(list);
        for (std::string t; in >> t;) out.push_back(At(t));
        return out;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian(11, 2);
        SetClock(At(c.clock));
        const KeldrinTime to = At(c.to);
        for (KeldrinTime t = At(c.from); t.Seconds < to.Seconds;
             t.Seconds += c.every ? c.every : to.Seconds - t.Seconds)
            AddSample(in1_, kIn1, t, ValueAt(t));
        AddSample(in1_, kIn1, to, ValueAt(to));
        Current(in1_, kIn1, to);
        LastResult(At(c.stored));
        SaveCalc("Calc");
        if (c.daily)
            Group("Calc", 1.0, 0.0);
        else
            Group("Calc");
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        auto calc = Loaded("Calc");
        EXPECT_EQ(Status(calc.get()), "Normal operation");
        EXPECT_EQ(Error(calc.get()), "");
        const std::vector<KeldrinTime> runs = times(c.runs), sources = times(c.sources);
        EXPECT_EQ(Runs(), static_cast<LONG>(runs.size()));
        const std::vector<Filed> written = History(out_, kOut);
        std::vector<std::string> stamps;
        for (const KeldrinTime& t : runs) stamps.push_back(Text(t));
        EXPECT_EQ(Stamps(written), stamps);
        for (size_t k = 0; k < written.size() && k < sources.size(); ++k)
            EXPECT_NEAR(written[k].Value, ValueAt(sources[k]), 1e-9);
    }
}

// An output the formula writes only on some runs (Alarm), and runs that
// write nothing, do not hold the catch-up back: each pass goes on from where
// the one before finished, in a day group and in a minute group more than
// 10,000 periods after Alarm's last write.
TEST_F(Driver, OutputsWrittenOnlyOnSomeRunsDoNotHoldTheCatchUpBack) {
    struct Case {
        const char* name;
        DATE rate;  // 1.0: a day group
        const char* script;
        const char* result;  // Result's time before the passes
        const char* alarm;   // Alarm's, or null
        const char* clock;
        int passes;
        const char* first;  // Result's samples after them: count from first,
        int count;          // `every` seconds apart
        double every;
    } cases[] = {
        {"DailyAlarm", 1.0, "Result = Level\nIf Level < 0 Then Alarm = Level", "2024-03-07T00:00",
         "2024-03-05T00:00", "00:30", 3, "2024-03-08T00:00", 3, 86400},
        {"MinuteAlarm", 1.0 / 1440, "Result = Level\nIf Level < 0 Then Alarm = Level", "05:00",
         "2024-03-01T00:00", "06:00:30", 1, "05:01", 60, 60},
        {"DailyNothingWritten", 1.0, "If Level >= 1000 Then Result = Level", "2024-03-07T00:00",
         nullptr, "00:30", 3, "00:00", 1, 86400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian();
        SetClock(At(c.clock));
        Hourly(in1_, kIn1, At("2024-02-28T00:00"), At("06:00"));
        Current(in1_, kIn1, At("06:00"));
        LastResult(At(c.result));
        if (c.alarm) {
            KhSimValue v = Sample(At(c.alarm), 1.0);
            ASSERT_EQ(KhSim_SetValue("PLANT", out_, kScheduled, &v), 1);
        }
        SaveScript(c.script);
        Group("Calc", c.rate, c.rate == 1.0 ? 0.0 : DateOf(At("00:00")));
        for (int pass = 0; pass < c.passes; ++pass)
            EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        auto calc = Loaded("Calc");
        EXPECT_EQ(Error(calc.get()), "");
        EXPECT_EQ(Status(calc.get()), "Normal operation");
        EXPECT_EQ(Stamps(History(out_, kOut, At("2024-01-01T00:00"), At("2024-12-31T00:00"))),
                  Every(At(c.first), c.every, c.count));
        EXPECT_TRUE(History(out_, kScheduled).empty());
    }
}

// A pass goes on from where the one before finished, unless the outputs
// were written otherwise since (a plain run), the parameter table was built
// again, or the group or its schedule changed: then from the outputs' newest
// time. The formula writes nothing below 1005, so the first pass finishes
// past Result's time.
TEST_F(Driver, WhereAPassFinishedIsForgottenWhenOutputsTableOrScheduleChange) {
    mv::ComPtr<IMvScheduleGroup> first;
    struct Case {
        const char* name;
        std::function<void(IMvCalculation*)> between;
        const char* last;  // where the second pass goes on from
    } cases[] = {
        {"Nothing", [](IMvCalculation*) {}, "04:00"},
        {"PlainRun", [](IMvCalculation* calc) { EXPECT_EQ(calc->Calculate(), S_OK); }, "02:00"},
        {"NewTable", [](IMvCalculation* calc) { EXPECT_EQ(calc->ClearCache(), S_OK); }, "02:00"},
        {"Schedule",
         [&](IMvCalculation*) { group_->put_FirstRunTime(DateOf(At("2024-03-09T00:00"))); },
         "02:00"},
        {"Group",
         [&](IMvCalculation*) {
             first = group_;  // kept, so that the new group lies elsewhere
             Group("Calc");
         },
         "02:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian();
        SetClock(At("04:10"));
        Hourly(in1_, kIn1, At("00:00"), At("06:00"));
        Current(in1_, kIn1, At("04:00"));
        LastResult(At("02:00"));
        SaveScript("If Level >= 1005 Then Result = Level");
        Group("Calc");
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        auto calc = Loaded("Calc");
        c.between(calc.get());
        SetClock(At("05:10"));
        Current(in1_, kIn1, At("05:00"));
        const std::string lines = TracedPass();
        first.Reset();
        EXPECT_NE(lines.find(std::string("lastCalculatedTime=10-MAR-2024 ") + c.last + ":00. )"),
                  std::string::npos)
            << lines;
        EXPECT_EQ(Error(calc.get()), "");
        EXPECT_EQ(Status(calc.get()), "Normal operation");
        EXPECT_EQ(Stamps(History(out_, kOut)), std::vector<std::string>{Text(At("05:00"))});
    }
}

// Each caught-up result carries the quality of the samples it was computed
// from, with that of the inputs that keep their current value (here one
// bound to another calculation, which runs once, for the input pass); no
// sample's quality passes to the next. A plain run carries that of the
// current values. In1's hourly archive (00:00 to 06:00) and its current
// value at 06:00 are good but where a row says level 3 (the historian's
// status 5); each result's status is that of its level.
TEST_F(Driver, EachResultCarriesTheQualityOfItsOwnSamples) {
    struct Case {
        const char* name;
        const char* bad;            // the archived sample of level 3, or null
        SHORT current;              // the level of In1's current value
        SHORT bound;                // the level of an input bound to another calculation; -1: none
        bool plain;                 // store-and-forward off: one plain run, Out's current value
        std::vector<SHORT> levels;  // of the results at 04:00, 05:00 and 06:00
    } cases[] = {
        {"BadSampleAmongGood", "05:00", 0, -1, false, {0, 3, 0}},
        {"BadCurrentValueOverAGoodArchive", nullptr, 3, -1, false, {0, 0, 0}},
        {"BadCurrentValueIsTheNewestSample", "06:00", 3, -1, false, {0, 0, 3}},
        {"BesideABadBoundCalculation", nullptr, 3, 2, false, {2, 2, 2}},
        {"PlainRun", "05:00", 3, -1, true, {3}},
    };
    auto rated = [](const KeldrinTime& t, SHORT level) {
        KhSimValue v = Sample(t, ValueAt(t));
        v.Level = level;
        v.Status = level == 3 ? 5 : 0;
        return v;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian();
        SetClock(At("06:10"));
        for (KeldrinTime t = At("00:00"); t.Seconds <= At("06:00").Seconds; t.Seconds += 3600) {
            const KhSimValue v = rated(t, c.bad && t.Seconds == At(c.bad).Seconds ? 3 : 0);
            ASSERT_EQ(KhSim_AddSample("PLANT", in1_, kIn1, &v), 1);
        }
        const KhSimValue current = rated(At("06:00"), c.current);
        ASSERT_EQ(KhSim_SetValue("PLANT", in1_, kIn1, &current), 1);
        LastResult(At("03:00"));
        void (*other)(IMvCalculation*) = [](IMvCalculation* calc) {
            Param(calc, "Other", mvcInput, mvcCalculation)->put_CalculationName(B("Bound").get());
        };
        SaveCalc("Calc", 1, false, !c.plain, c.bound < 0 ? nullptr : other);
        if (c.bound >= 0) {
            WriteCalc("Bound", [](IMvCalculation* b) {
                b->put_FormulaType(1);
                Param(b, "K", mvcInput, mvcNone);
            });
            mv::ComPtr<IMvParameter> k;
            ASSERT_EQ(Loaded("Bound")->GetParameter(B("K").get(), k.Put()), S_OK);
            k->put_Level(c.bound);
        }
        Group("Calc");
        keldtest::g_formulaRuns = 0;
        EXPECT_EQ(group_->CalculateStoreForward(c.plain ? VARIANT_FALSE : VARIANT_TRUE), S_OK);
        EXPECT_EQ(Error(Loaded("Calc").get()), "");
        EXPECT_EQ(keldtest::g_formulaRuns, c.bound >= 0 ? 1 : 0);
        std::vector<SHORT> levels, statuses, expected;
        if (c.plain) {
            KhSimValue v{};
            char text[64] = {};
            ASSERT_EQ(KhSim_GetValue("PLANT", out_, kOut, &v, text, sizeof text), 1);
            levels = {v.Level};
            statuses = {v.Status};
        } else {
            const std::vector<Filed> written = History(out_, kOut);
            EXPECT_EQ(Stamps(written), Every(At("04:00"), 3600, 3));
            for (const Filed& f : written) {
                EXPECT_NEAR(f.Value, ValueAt(f.Time), 1e-9);
                levels.push_back(f.Level);
                statuses.push_back(f.Status);
            }
        }
        EXPECT_EQ(levels, c.levels);
        for (SHORT level : c.levels) expected.push_back(level == 0 ? -1 : -6);
        EXPECT_EQ(statuses, expected);
    }
}

KeldrinTime g_failWriteAt{};
bool g_throwWrite = false;

// The historian output step, whose first write of the run stamped
// g_failWriteAt fails (or throws, with g_throwWrite).
void FailFirstWriteAt(const MvBindingCall& call) {
    if (call.Pass == OUTPUT_PASS && call.StoreTime) {
        KeldrinTime t{};
        XUST2XTS(static_cast<const KeldrinUst*>(call.StoreTime), &t);
        if (t.Seconds == g_failWriteAt.Seconds && g_throwWrite)
            KhSim_ThrowInCall(KHSIM_API, "MWDBVALS", 1);
        else if (t.Seconds == g_failWriteAt.Seconds)
            KhSim_FailCall(KHSIM_API, "MWDBVALS", KELDRIN_E_RANGE, 0, 0, 1);
    }
    CMvCalculation::KeldrinBatchStep(call);
}

// Outputs on two nodes, one of whose writes fails or throws once: the pass
// stops there with the failure's text, and the next one runs the failed
// sample again, so that both outputs hold every hour; also when the write
// failed at the first sample of a new calculation's first pass.
TEST_F(Driver, EveryOutputCatchesUpAfterOneOfItsWritesFailed) {
    struct Case {
        const char* failAt;
        bool throws;
        const char* error;  // the start of the first pass's text
    } cases[] = {
        {"03:00", false, "Error writing Keldrin field"},
        {"01:00", false, "Error writing Keldrin field"},
        {"01:00", true, "\nA runtime error occurred: injected exception in MWDBVALS."},
    };
    for (const Case& c : cases) {
        const char* failAt = c.failAt;
        SCOPED_TRACE(failAt + std::string(c.throws ? " throws" : " fails"));
        TearDown();
        SetUp();
        Historian();
        ASSERT_GT(KhSim_AddServer("PLANT2", 11, 3, 0), 0);
        const LONG out2 = Field("PLANT2", "OUT2", "SCHED", kScheduled, -16);
        ASSERT_EQ(KhSim_ClearValueTime("PLANT2", out2, kScheduled), 1);
        SetClock(At("06:10"));
        Hourly(in1_, kIn1, At("00:00"), At("06:00"));
        Current(in1_, kIn1, At("06:00"));
        WriteCalc("Calc", [](IMvCalculation* c) {
            c->put_FormulaType(mvcDLL_Execute_Method);
            c->put_DllName(B(formula_test::kTestFormulas).get());
            c->put_FunctionName(B("WeightedSum").get());
            c->put_EnableStoreAndForward(VARIANT_TRUE);
            keldtest::KeldrinWorld::Historian(c, "In1", mvcInput, "PLANT", "IN1", "VAL")
                ->put_HistoryField_ID(kIn1);
            keldtest::KeldrinWorld::Historian(c, "Out", mvcOutput, "PLANT", "OUT", "RESULT");
            keldtest::KeldrinWorld::Historian(c, "Scheduled", mvcOutput, "PLANT2", "OUT2", "SCHED");
        });
        Group("Calc");
        g_failWriteAt = At(failAt);
        g_throwWrite = c.throws;
        MvSetBindingBatchStep(mvcKeldrin, &FailFirstWriteAt);
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        MvSetBindingBatchStep(mvcKeldrin, nullptr);
        auto calc = Loaded("Calc");
        EXPECT_EQ(Error(calc.get()).rfind(c.error, 0), 0u) << Error(calc.get());
        EXPECT_EQ(Runs(), static_cast<LONG>((At(failAt).Seconds - At("00:00").Seconds) / 3600));

        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        EXPECT_EQ(Error(calc.get()), "");
        EXPECT_EQ(Status(calc.get()), "Normal operation");
        const auto hours = Every(At("01:00"), 3600, 6);
        EXPECT_EQ(Stamps(History(out_, kOut)), hours);
        EXPECT_EQ(Stamps(History(out2, kScheduled, At("00:00"), At("23:00"), "PLANT2")), hours);
    }
}

// A time read that throws or fails, armed once the input pass has read the
// inputs: the decision ends with its text in the error text, the state kept
// and nothing run. Out and Scheduled both hold 03:00; one failing read beside
// one that succeeds is no failure.
void (*g_afterInputs)() = nullptr;

void ArmAfterInputs(const MvBindingCall& call) {
    CMvCalculation::KeldrinBatchStep(call);
    if (call.Pass == INPUT_PASS && g_afterInputs) std::exchange(g_afterInputs, nullptr)();
}

TEST_F(Driver, AFailingTimeReadShowsAndDecidesNothing) {
    static constexpr const char* kUninitialized =
        "Store - At least one input parameter is uninitialized";
    struct Case {
        const char* name;
        void (*arm)();
        const char* status;
        LONG runs;
        const char* error;  // the text, or its start for a read error
    } cases[] = {
        {"OutputReadThrows", [] { KhSim_ThrowInCall(KHSIM_API, "MRDBVALS", 1); }, kUninitialized, 0,
         "\nA runtime error occurred: injected exception in MRDBVALS."},
        {"OutputBindingThrows", [] { KhSim_ThrowInCall(KHSIM_API, "DECODNAM", 1); }, kUninitialized,
         0, "\nA runtime error occurred: injected exception in DECODNAM."},
        {"EveryOutputReadFails",
         [] { KhSim_FailCall(KHSIM_API, "MRDBVALS", KELDRIN_E_NORECORD, 0, 0, -1); },
         kUninitialized, 0, "Error reading Keldrin field \"SCHED\":"},
        {"OneOfTwoReadsFails",
         [] { KhSim_FailCall(KHSIM_API, "MRDBVALS", KELDRIN_E_NORECORD, 0, 0, 1); },
         "Normal operation", 3, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Historian();
        SetClock(At("06:10"));
        Hourly(in1_, kIn1, At("00:00"), At("06:00"));
        LastResult(At("03:00"));
        const KhSimValue scheduled = Sample(At("03:00"), 1.0);
        ASSERT_EQ(KhSim_SetValue("PLANT", out_, kScheduled, &scheduled), 1);
        SaveCalc("Calc", 1, true);
        Group("Calc");
        // Without the input's value: state 5, the outputs not yet resolved.
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        auto calc = Loaded("Calc");
        ASSERT_EQ(Status(calc.get()), kUninitialized);
        Current(in1_, kIn1, At("06:00"));
        reset_();
        g_afterInputs = c.arm;
        MvSetBindingBatchStep(mvcKeldrin, &ArmAfterInputs);
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        MvSetBindingBatchStep(mvcKeldrin, nullptr);
        for (const char* call : {"MRDBVALS", "DECODNAM"}) {
            KhSim_ThrowInCall(KHSIM_API, call, 0);
            KhSim_FailCall(KHSIM_API, call, 0, 0, 0, 0);
        }
        EXPECT_EQ(Status(calc.get()), c.status);
        EXPECT_EQ(Runs(), c.runs);
        const std::string error = Error(calc.get());
        if (c.error[0] == 'E')
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        else
            EXPECT_EQ(error, c.error);
    }
}

// A new daily calculation whose time of day, 02:30, lies in the hour skipped
// when the clocks go forward runs on that day too, stamped 03:30 local.
TEST_F(Driver, ANewDailyCalculationRunsOnTheDayItsTimeIsSkipped) {
    struct Case {
        const char* zone;
        const char* clock;  // 06:00 local
        const char* stamp;  // 03:30 local
    } cases[] = {
        {"Europe/Berlin", "2024-03-31T04:00", "2024-03-31T01:30"},
        {"America/New_York", "2024-03-10T10:00", "2024-03-10T07:30"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zone);
        TearDown();
        SetUp();
        setenv("TZ", c.zone, 1);
        tzset();
        Historian();
        SetClock(At(c.clock));
        KeldrinTime from = At(c.clock);
        from.Seconds -= 2 * 86400;
        Hourly(in1_, kIn1, from, At(c.clock));
        Current(in1_, kIn1, At(c.clock));
        SaveCalc("Calc");
        Group("Calc", 1.0, 0.0);
        group_->put_ScheduleOffset(2.5 / 24);
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        setenv("TZ", "UTC", 1);
        tzset();
        auto calc = Loaded("Calc");
        EXPECT_EQ(Status(calc.get()), "Normal operation");
        EXPECT_EQ(Error(calc.get()), "");
        EXPECT_EQ(Runs(), 1);
        EXPECT_EQ(Stamps(History(out_, kOut)), std::vector<std::string>{Text(At(c.stamp))});
    }
}

// A history read that throws (the recent history times' or the catch-up's)
// leaves its text in the error text, and the driver keeps the state it had.
TEST_F(Driver, AHistoryReadThatThrowsShowsAndKeepsTheState) {
    for (const char* call : {"RHISKDDATA", "RHISKDINTERPOLATE"}) {
        SCOPED_TRACE(call);
        TearDown();
        SetUp();
        Unfinished("Calc");
        auto calc = Loaded("Calc");
        EXPECT_EQ(group_->CalculateStoreForward(VARIANT_TRUE), S_OK);
        ASSERT_EQ(State(calc.get()), 2);
        Current(in1_, kIn1, At("06:05"));
        AddSample(in1_, kIn1, At("06:00"), ValueAt(At("06:00")));
        reset_();
        KhSim_ThrowInCall(KHSIM_API, call, 1);
        group_->CalculateStoreForward(VARIANT_TRUE);
        EXPECT_EQ(Error(calc.get()),
                  std::string("\nA runtime error occurred: injected exception in ") + call + ".");
        EXPECT_EQ(State(calc.get()), 2);
        EXPECT_EQ(Runs(), 0);
    }
}

}  // namespace
}  // namespace sftest
