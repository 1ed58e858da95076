// The world of the store-and-forward tests: the module started as a client's
// process starts it, one historian node "PLANT" whose records IN1, IN2 and
// OUT carry the inputs' current values and history and the results, and
// calculations of the test formula library's WeightedSum, saved under Calc/
// and run by a schedule group through its calculation references.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../bindings/keldrin_bindings_test_support.h"
#include "../executors/formula_artefacts.h"
#include "../frame/log_test_support.h"
#include "interfaces/IMvScheduleGroup.h"

namespace sftest {

using bindtest::B;

constexpr LONG kIn1 = 0x10000, kIn2 = 0x11000, kOut = 0x20000, kScheduled = 0x30000;

// A time "HH:MM[:SS[.t]]" on 2024-03-10, or "YYYY-MM-DDTHH:MM[:SS[.t]]", in
// UTC (the tests' time zone).
inline KeldrinTime At(const std::string& text) {
    int y = 2024, mo = 3, d = 10, h = 0, mi = 0;
    double s = 0.0;
    std::string clock = text;
    if (auto t = text.find('T'); t != std::string::npos) {
        std::sscanf(text.c_str(), "%d-%d-%d", &y, &mo, &d);
        clock = text.substr(t + 1);
    }
    std::sscanf(clock.c_str(), "%d:%d:%lf", &h, &mi, &s);
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    const auto whole = static_cast<ULONG>(s);
    tm.tm_sec = static_cast<int>(whole);
    const auto micro = static_cast<ULONG>((s - whole) * 1e6 + 0.5);
    return KeldrinTime{static_cast<ULONG>(timegm(&tm)), micro};
}

inline DATE DateOf(const KeldrinTime& t) {
    return (t.Seconds + t.Micro / 1e6) / 86400.0 + 25569.0;
}

// The value of a sample or current value at a time: 1000 plus the hours since
// 2024-03-10 00:00.
inline double ValueAt(const KeldrinTime& t) {
    return 1000.0 + (static_cast<double>(t.Seconds) - At("00:00").Seconds + t.Micro / 1e6) / 3600.0;
}

inline KhSimValue Sample(const KeldrinTime& stamp, double number) {
    KhSimValue v{};
    v.Number = number;
    v.Stamp = stamp;
    return v;
}

// A history sample as read back: its time, value, status and level.
struct Filed {
    KeldrinTime Time;
    double Value;
    SHORT Status = 0;
    SHORT Level = 0;
};

class StoreForwardWorld : public keldtest::KeldrinWorld {
protected:
    void SetUp() override {
        KeldrinWorld::SetUp();
        Serve(CLSID_MvScheduleGroup);
        Serve(CLSID_MvCalculationRef);
        // An environment's final release empties the process-wide cache of
        // active calculations, which earlier tests filled.
        NewEnvironment();
        formulas_ = dlopen((formula_test::FormulasDir() + "/libMvTestFormulas.so").c_str(),
                           RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(formulas_, nullptr) << dlerror();
        reset_ = reinterpret_cast<void (*)()>(dlsym(formulas_, "ResetFormulaRunCount"));
        runs_ = reinterpret_cast<LONG (*)()>(dlsym(formulas_, "FormulaRunCount"));
        ASSERT_TRUE(reset_ && runs_);
        reset_();
    }
    void TearDown() override {
        group_.Reset();
        KeldrinWorld::TearDown();
        if (formulas_) dlclose(formulas_);
    }

    // The node and its records; the inputs' fields are doubles.
    void Historian(LONG major = 11, LONG minor = 3) {
        ASSERT_GT(KhSim_AddServer("PLANT", major, minor, 0), 0);
        in1_ = Field("PLANT", "IN1", "VAL", kIn1, -16);
        in2_ = Field("PLANT", "IN2", "VAL2", kIn2, -16);
        out_ = Field("PLANT", "OUT", "RESULT", kOut, -16);
        ASSERT_EQ(KhSim_AddField("PLANT", out_, "SCHED", kScheduled, -16, 0), 1);
        // Nothing has been valued or stored yet.
        for (auto [record, tag] :
             {std::pair{in1_, kIn1}, {in2_, kIn2}, {out_, kOut}, {out_, kScheduled}})
            ASSERT_EQ(KhSim_ClearValueTime("PLANT", record, tag), 1);
    }
    void SetClock(const KeldrinTime& now) { KhSim_SetClock(&now); }
    // The current value of an input: its value from ValueAt. A field never
    // given one has no time.
    void Current(LONG record, LONG tag, const KeldrinTime& stamp) {
        const KhSimValue v = Sample(stamp, ValueAt(stamp));
        ASSERT_EQ(KhSim_SetValue("PLANT", record, tag, &v), 1);
    }
    void AddSample(LONG record, LONG tag, const KeldrinTime& stamp, double number) {
        const KhSimValue v = Sample(stamp, number);
        ASSERT_EQ(KhSim_AddSample("PLANT", record, tag, &v), 1);
    }
    // Hourly samples from `from` to `to` inclusive.
    void Hourly(LONG record, LONG tag, const KeldrinTime& from, const KeldrinTime& to) {
        for (KeldrinTime t = from; t.Seconds <= to.Seconds; t.Seconds += 3600)
            AddSample(record, tag, t, ValueAt(t));
    }
    // The result's current time, as a stamped write leaves it.
    void LastResult(const KeldrinTime& stamp) {
        KhSimValue v = Sample(stamp, 1.0);
        ASSERT_EQ(KhSim_SetValue("PLANT", out_, kOut, &v), 1);
    }

    // A calculation of WeightedSum with the historian inputs named (In1 on
    // IN1, In2 on IN2) and the result Out (and Scheduled, when asked) on OUT,
    // and what `more` adds, saved as Calc/<name>.mvc.
    void SaveCalc(const std::string& name, int inputs = 1, bool scheduled = false,
                  bool enabled = true, void (*more)(IMvCalculation*) = nullptr) {
        WriteCalc(name, [&](IMvCalculation* c) {
            c->put_FormulaType(mvcDLL_Execute_Method);
            c->put_DllName(B(formula_test::kTestFormulas).get());
            c->put_FunctionName(B("WeightedSum").get());
            c->put_EnableStoreAndForward(enabled ? VARIANT_TRUE : VARIANT_FALSE);
            const char* records[] = {"IN1", "IN2"};
            const char* fields[] = {"VAL", "VAL2"};
            const LONG tags[] = {kIn1, kIn2};
            for (int i = 0; i < inputs; ++i) {
                auto p =
                    keldtest::KeldrinWorld::Historian(c, ("In" + std::to_string(i + 1)).c_str(),
                                                      mvcInput, "PLANT", records[i], fields[i]);
                p->put_HistoryField_ID(tags[i]);
            }
            keldtest::KeldrinWorld::Historian(c, "Out", mvcOutput, "PLANT", "OUT", "RESULT");
            if (scheduled)
                keldtest::KeldrinWorld::Historian(c, "Scheduled", mvcOutput, "PLANT", "OUT",
                                                  "SCHED");
            if (more) more(c);
        });
    }
    // A group with the one member `name`: hourly from 2024-03-10 00:00 unless
    // told otherwise.
    mv::ComPtr<IMvScheduleGroup> Group(const std::string& name, DATE rate = 1.0 / 24.0,
                                       DATE first = DateOf(At("00:00"))) {
        group_ = Create<IMvScheduleGroup>(CLSID_MvScheduleGroup);
        group_->put_Name(B("Hourly").get());
        group_->put_ScheduleRate(rate);
        group_->put_FirstRunTime(first);
        mv::ComPtr<IMvCalculationRef> ref;
        EXPECT_EQ(group_->AddCalculation(B(name.c_str()).get(), ref.Put()), S_OK);
        return group_;
    }
    static mv::ComPtr<IMvCalculation> Loaded(const std::string& name) {
        mv::ComPtr<IMvCalculation> calc;
        EXPECT_EQ(g_GetCalcObject(B(name.c_str()).get(), calc.Put()), S_OK);
        return calc;
    }

    // The samples of a field's history from `from` to `to` on a node, read
    // as a client reads them.
    static std::vector<Filed> History(LONG record, LONG tag,
                                      const KeldrinTime& from = At("2024-01-01T00:00"),
                                      const KeldrinTime& to = At("2024-12-31T00:00"),
                                      const char* node = "PLANT") {
        KeldrinErrorBlock err{};
        std::string text;
        const LONG server = ConnectKeldrinNode(node, &err, &text);
        EXPECT_GT(server, 0) << text;
        DaSetDefaultServer(static_cast<SHORT>(server), &err);
        KeldrinUst b{}, e{};
        XTS2XUST(&from, &b);
        XTS2XUST(&to, &e);
        constexpr LONG kMax = 25000;
        std::vector<BYTE> buffer(kMax * 24);
        std::vector<KeldrinUst> times(kMax);
        std::vector<SHORT> codes(kMax);
        void* const buffers[1] = {buffer.data()};
        SHORT type = -16, more = 0;
        LONG returned = 0;
        RHISKDDATA(2, 0, 0, record, tag | 1, &b, &e, 1, &tag, &type, kMax, codes.data(),
                   times.data(), buffers, &returned, &more, &err);
        EXPECT_EQ(err.ERRORCODE, 0);
        std::vector<Filed> out;
        for (LONG k = 0; k < returned; ++k) {
            double value = 0.0;
            SHORT status = 0, level = 0;
            std::memcpy(&value, buffer.data() + k * 24, sizeof value);
            std::memcpy(&status, buffer.data() + k * 24 + 8, sizeof status);
            std::memcpy(&level, buffer.data() + k * 24 + 10, sizeof level);
            KeldrinTime t{};
            XUST2XTS(&times[static_cast<std::size_t>(k)], &t);
            out.push_back({t, value, status, level});
        }
        return out;
    }

    LONG Runs() const { return runs_(); }
    static std::string Status(IMvCalculation* calc) {
        mv::Bstr text;
        calc->get_StoreForwardStatus(text.Out());
        return text.Utf8();
    }

    logtest::ScopedEnv dllPath_{"MORVA_DLL_PATH", formula_test::FormulasDir().c_str()};
    void* formulas_ = nullptr;
    void (*reset_)() = nullptr;
    LONG (*runs_)() = nullptr;
    LONG in1_ = 0, in2_ = 0, out_ = 0;
    mv::ComPtr<IMvScheduleGroup> group_;
};

}  // namespace sftest
