// Store-and-forward through the COM runtime: the state table (checked in
// beside this file), the decision trace of a catch-up, the catch-up's
// samples and stamps, the input and output times, the history reads' faults
// and the check pass that reaches a calculation only in history mode.
#include <cmath>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>

#include "../persistence/values_test_support.h"
#include "calculation/calculation.h"
#include "store_forward_test_support.h"

namespace sftest {
namespace {

std::string Trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(Trim(part));
    return parts;
}

struct Row {
    std::string name, group, server, clock, input, out, history, prior, call;
    LONG state = 0, runs = 0;
    std::string written, value, executed;
};

std::vector<Row> StateTable() {
    std::ifstream in(std::string(MV_TEST_SOURCE_DIR) + "/store_forward_states.txt");
    std::vector<Row> rows;
    for (std::string line; std::getline(in, line);) {
        if (Trim(line).empty() || Trim(line)[0] == '#') continue;
        auto f = Split(line, '|');
        if (f.size() != 14) {
            ADD_FAILURE() << "bad row: " << line;
            continue;
        }
        rows.push_back(Row{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8],
                           static_cast<LONG>(std::stol(f[9])), static_cast<LONG>(std::stol(f[10])),
                           f[11], f[12], f[13]});
    }
    return rows;
}

constexpr const char* kStateTexts[] = {
    "Normal operation",
    "Store - Oldest input is before the last execution time",
    "Forward - Calculating on history data",
    "Disabled",
    "No input parameters",
    "Store - At least one input parameter is uninitialized",
    "Store - Oldest input is before the next execution time",
};

std::string TimeName(const KeldrinTime& t) {
    char text[96];
    const time_t seconds = t.Seconds;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06u", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, t.Micro);
    return text;
}

class StoreForward : public StoreForwardWorld {
protected:
    // Seeds In1's history from the table's notation.
    void SeedHistory(const std::string& history) {
        if (history == "-") return;
        for (const std::string& item : Split(history, ',')) {
            if (auto dots = item.find(".."); dots != std::string::npos) {
                const auto slash = item.find('/', dots);
                const KeldrinTime to = At(item.substr(dots + 2, slash - dots - 2));
                if (slash == std::string::npos) {
                    Hourly(in1_, kIn1, At(item.substr(0, dots)), to);
                    continue;
                }
                // A..B/s: every s seconds, counted in microseconds.
                const auto step = std::llround(std::stod(item.substr(slash + 1)) * 1e6);
                const auto micros = [](const KeldrinTime& t) {
                    return static_cast<long long>(t.Seconds) * 1000000 + t.Micro;
                };
                for (long long at = micros(At(item.substr(0, dots))); at <= micros(to);
                     at += step) {
                    const KeldrinTime t{static_cast<ULONG>(at / 1000000),
                                        static_cast<ULONG>(at % 1000000)};
                    AddSample(in1_, kIn1, t, ValueAt(t));
                }
                continue;
            }
            const bool fault = item.back() == '!';
            const KeldrinTime t = At(fault ? item.substr(0, item.size() - 1) : item);
            AddSample(in1_, kIn1, t, fault ? -1.0 : ValueAt(t));
        }
    }
    void MakeGroup(const std::string& kind, const std::string& calc) {
        if (kind == "daily") {
            Group(calc, 1.0, 0.0);
        } else if (kind == "monthly31") {
            Group(calc, 0.0, 0.0);
            group_->put_ScheduleDayOfMonth(31);
            group_->put_ScheduleOffset(1.25);
        } else if (kind == "monthly1") {
            Group(calc, 0.0, 0.0);
            group_->put_ScheduleDayOfMonth(1);
        } else if (kind == "monday") {
            Group(calc, 0.0, 0.0);
            group_->put_ScheduleDayOfWeek(2);
        } else if (kind == "hourly2000") {
            Group(calc, 1.0 / 24.0, DateOf(At("2000-01-01T00:00")));
        } else if (kind == "tenth2016") {
            Group(calc, 0.1 / 86400.0, DateOf(At("2016-01-01T00:00")));
        } else {
            Group(calc);
        }
    }
    HRESULT Call(const std::string& call) {
        if (call == "calc") return group_->CalculateStoreForward(VARIANT_TRUE);
        if (call == "check") return group_->CheckStoreForward(VARIANT_TRUE, VARIANT_TRUE);
        if (call == "off-calc") return group_->CalculateStoreForward(VARIANT_FALSE);
        return group_->CheckStoreForward(VARIANT_FALSE, VARIANT_TRUE);
    }
};

TEST_F(StoreForward, StateTable) {
    const std::vector<Row> rows = StateTable();
    ASSERT_GE(rows.size(), 20u);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        const auto dot = row.server.find('.');
        Historian(std::stol(row.server.substr(0, dot)), std::stol(row.server.substr(dot + 1)));
        SetClock(At(row.clock));
        const bool off = row.call.rfind("off-", 0) == 0;
        // In1's time, and In2's after a comma.
        const std::vector<std::string> inputs = Split(row.input, ',');
        // Out's time, and Scheduled's after a comma.
        const std::vector<std::string> outs = Split(row.out, ',');
        // A name of its own: the active-calculation cache outlives a row.
        SaveCalc(row.name, row.input == "unbound" ? 0 : static_cast<int>(inputs.size()),
                 outs.size() > 1 || row.out == "shortlist", !off);
        MakeGroup(row.group, row.name);
        const bool typed = row.out == "type-9" || row.out == "type-3";
        if (row.out == "unbound" || row.out == "timefield" || row.out == "shortlist" || typed) {
            // Out gives no time: not on the historian, or on a time field;
            // or Out is on a field of another type.
            auto calc = Loaded(row.name);
            mv::ComPtr<IMvParameter> out;
            ASSERT_EQ(calc->GetParameter(B("Out").get(), out.Put()), S_OK);
            if (row.out == "unbound") {
                out->put_BindingType(mvcNone);
            } else {
                const SHORT type = typed ? static_cast<SHORT>(std::stoi(row.out.substr(4))) : -8;
                ASSERT_EQ(KhSim_AddField("PLANT", out_, "STAMP", 0x21000, type, 0), 1);
                if (typed) {
                    ASSERT_EQ(KhSim_ClearValueTime("PLANT", out_, 0x21000), 1);
                }
                out->put_FieldName(B("STAMP").get());
            }
        } else if (row.out != "-") {
            LastResult(At(outs[0]));
            if (outs.size() > 1 && outs[1] != "never") {
                const KhSimValue v = Sample(At(outs[1]), 1.0);
                ASSERT_EQ(KhSim_SetValue("PLANT", out_, kScheduled, &v), 1);
            }
        }
        if (row.prior == "5") {
            ASSERT_EQ(Call("calc"), S_OK);
        }
        if (row.out == "shortlist") {
            ParamInfoShare table =
                dynamic_cast<CMvCalculation*>(Loaded(row.name).get())->SetupParamInfo();
            ASSERT_NE(table->KeldrinBindingSet->GetOutputs(1), nullptr);
        }
        const LONG records[] = {in1_, in2_}, tags[] = {kIn1, kIn2};
        for (size_t i = 0; i < inputs.size() && i < 2; ++i) {
            if (inputs[i] != "never" && inputs[i] != "unbound")
                Current(records[i], tags[i], At(inputs[i]));
        }
        SeedHistory(row.history);
        auto calc = Loaded(row.name);
        calc->put_LastExecution(0.0);
        calc->put_CalculateTime(-1.0);
        reset_();

        EXPECT_EQ(Call(row.call), S_OK);

        LONG state = -1;
        // The state through its three readings.
        VARIANT_BOOL history = 5;
        calc->get_IsStoreForwardHistoryMode(&history);
        EXPECT_EQ(Status(calc.get()), kStateTexts[row.state]);
        EXPECT_EQ(history, row.state == 2 || row.state == 5 || row.state == 6 ? 1 : 0);
        for (LONG s = 0; s < 7; ++s) {
            if (Status(calc.get()) == kStateTexts[s]) state = s;
        }
        EXPECT_EQ(state, row.state);
        EXPECT_EQ(Runs(), row.runs);

        const std::vector<Filed> written = History(out_, kOut);
        std::string summary = std::to_string(written.size());
        if (!written.empty()) summary += "@" + TimeName(written.back().Time);
        const auto at = row.written.find('@');
        EXPECT_EQ(summary, at == std::string::npos ? row.written
                                                   : row.written.substr(0, at) + "@" +
                                                         TimeName(At(row.written.substr(at + 1))));
        for (const Filed& s : written) {
            EXPECT_NEAR(s.Value, ValueAt(s.Time), 1e-9) << TimeName(s.Time);
        }

        mv::Variant value;
        calc->get_Value(&value);
        if (row.value == "empty") {
            EXPECT_EQ(value.vt, VT_EMPTY);
        } else {
            ASSERT_EQ(value.ChangeType(VT_R8), S_OK);
            EXPECT_NEAR(value.dblVal, std::stod(row.value), 1e-5);
        }
        DATE last = 0.0;
        double seconds = 0.0;
        calc->get_LastExecution(&last);
        calc->get_CalculateTime(&seconds);
        EXPECT_EQ(last != 0.0, row.executed == "yes");
        EXPECT_EQ(seconds >= 0.0, row.executed == "yes");
        LONG busy = 1;
        calc->get_BeingCalculated(&busy);
        EXPECT_EQ(busy, 0);
    }
}

}  // namespace
}  // namespace sftest
