// The script calls on threads with small stacks: texts nested as deep as the
// language allows, and deeper, are refused before the stack runs out.
#include <cmath>
#include <string>

#include "../../support/bounded_run.h"
#include "script_calls_test_support.h"

namespace {

using corvex_test::CorvexScriptCalls;

std::string Nested(int levels, const std::string& open, const std::string& inner,
                   const std::string& close) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += open;
    text += inner;
    for (int i = 0; i < levels; ++i) text += close;
    return text;
}

// Each text, parsed and run on a thread whose whole stack is 64 KB or 128 KB
// below pads of several sizes, lists and computes what it does on the main
// thread or is refused as nested too deeply; a text the language refuses is
// refused there too. None ends the process, and the thread then runs a
// plain text.
TEST_F(CorvexScriptCalls, DeepNestingOnASmallThreadStackIsRefusedInsteadOfOverflowing) {
    const std::string tooDeep = "Expression nested too deeply (line 1)";
    const struct {
        std::string text;
        double value;  // NaN: refused on every stack
    } rows[] = {
        {Nested(50, "(", "A", ")"), 3},    {Nested(99, "(", "A", ")"), 3},
        {Nested(150, "(", "A", ")"), NAN}, {Nested(197, "-", "A", ""), -3},
        {Nested(90, "Add(", "A", ")"), 3}, {Nested(90, "1-(", "A", ")"), 3},
        {Nested(90, "1^", "A", ""), 1},
    };
    calc_->Add("A", mv::Variant(3.0), 0);
    auto run = [&](const std::string& text) {
        calc_->errorText.clear();
        calc_->Add("ReturnValue", mv::Variant(), 0);
        execute_(calc_->AsCalculation(), 0, ("ReturnValue = " + text).c_str(), 0, 0);
        mv::Variant v;
        calc_->parameters["returnvalue"]->get_Value(&v);
        return calc_->errorText.empty() && v.vt == VT_R8 ? std::to_string(v.dblVal)
                                                         : calc_->errorText;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 12) + "... of " + std::to_string(row.text.size()));
        const bool refused = std::isnan(row.value);
        const std::string value = refused ? tooDeep : std::to_string(row.value);
        const std::string names = Parse("ReturnValue = " + row.text);
        EXPECT_EQ(names, refused ? "error: " + tooDeep : "ReturnValue|||2@0.0 A|||1@0.0");
        EXPECT_EQ(run(row.text), value);
        for (size_t stack : {64 * 1024, 128 * 1024})
            for (size_t pad = 0; pad <= 12 * 1024; pad += 1100)
                mv::test::OnThreadWithStack(
                    stack,
                    [&] {
                        const std::string parsed = Parse("ReturnValue = " + row.text);
                        if (parsed != names) {
                            EXPECT_EQ(parsed, "error: " + tooDeep);
                        }
                        const std::string ran = run(row.text);
                        if (ran != value) {
                            EXPECT_EQ(ran, tooDeep);
                        }
                        EXPECT_EQ(run("A + 1"), "4.000000");
                    },
                    pad);
    }
}

}  // namespace
