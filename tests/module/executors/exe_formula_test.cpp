// The external-program formula: the command text it builds, the words the
// started program receives (never a shell's), and what a program that does
// not start, or a failure inside the executor, does to the run.
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "../frame/log_test_support.h"
#include "executors/exe_formula.h"
#include "formula_test_support.h"
#include "frame/tls_slots.h"
#include "persistence/obj_collection.h"

namespace calculation_test {
namespace {

namespace fs = std::filesystem;

using formula_test::ValueOf;

std::vector<std::string> g_texts;  // command texts handed to the runner

int Recording(std::string_view text) {
    g_texts.emplace_back(text);
    return 0;
}

struct Param {
    const char16_t* name;
    LONG direction;
    const char16_t* argument;
    mv::Variant value;
};

class ExeFormula : public testing::Test {
protected:
    void SetUp() override {
        AllocateTlsSlots();
        g_texts.clear();
        dir_ = fs::path(std::getenv("MORVA_COMMON_APPDATA")) / "exe";
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        MvSetCommandRunner(nullptr);
        FreeTlsSlots();
    }

    // A kind-1 calculation of the program with the parameters after
    // "ReturnValue" and, unless left out, an output "Out" bound to the bus,
    // last.
    Calculation Make(const std::string& program, const std::vector<Param>& params,
                     bool withOut = true) {
        auto calc = NewCalculation();
        calc->put_FormulaType(mvcEXE_Execute_Method);
        calc->put_ProgramName(mv::Bstr(program).get());
        for (const Param& p : params) {
            mv::ComPtr<IMvParameter> parameter;
            EXPECT_EQ(calc->AddParameter(mv::Bstr(p.name).get(), parameter.Put()), S_OK);
            parameter->put_ParameterType(p.direction);
            parameter->put_EXE_RuntimeArgument(mv::Bstr(p.argument).get());
            parameter->put_Value(p.value);
        }
        if (!withOut) return calc;
        mv::ComPtr<IMvParameter> out;
        calc->AddParameter(mv::Bstr(u"Out").get(), out.Put());
        out->put_ParameterType(mvcOutput);
        out->put_BindingType(mvcQuenbus);
        return calc;
    }

    std::vector<std::string> Dumped() const {
        std::ifstream in(dir_ / "args.txt");
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    fs::path dir_;
    ServedClasses served_;
    formula_test::OutputPassRecorder outputs_;
};

mv::Variant Null() {
    mv::Variant v;
    v.vt = VT_NULL;
    return v;
}

mv::Variant Array() {
    mv::Variant v;
    v.vt = VT_ARRAY | VT_I4;
    v.parray = SafeArrayCreateVector(VT_I4, 0, 2);
    return v;
}

// An object whose default member needs an argument: no text.
mv::Variant ObjectWithoutValue() {
    mv::ComPtr<mv::ComObject<CMvObjCollection>> collection;
    EXPECT_EQ(mv::MakeComObject(&collection), S_OK);
    mv::Variant v;
    v.vt = VT_DISPATCH;
    v.pdispVal = static_cast<IMvObjCollection*>(collection.get());
    v.pdispVal->AddRef();
    return v;
}

TEST_F(ExeFormula, TheCommandTextQuotesProgramAndArgumentsOnceAndLeavesTheValuesAlone) {
    struct Case {
        const char* what;
        std::vector<Param> params;
        std::string tail;
    } cases[] = {
        {"the return value alone", {}, ""},
        {"switch and value side by side",
         {{u"A", mvcInput, u"-t", mv::Variant(5.5)},
          {u"B", mvcInputOutput, u"/mode:", mv::Variant(u"fast")}},
         " -t5.5 /mode:fast"},
        {"empty switch, empty value, both empty, unused parameters too",
         {{u"A", mvcInput, u"", mv::Variant(LONG{7})},
          {u"B", mvcUnUsed, u"-x", mv::Variant()},
          {u"C", mvcInputOutput, u"", mv::Variant()}},
         " 7 -x "},
        {"values without text give the switch alone",
         {{u"A", mvcInput, u"-n", Null()},
          {u"B", mvcInput, u"-a", Array()},
          {u"C", mvcInput, u"-o", ObjectWithoutValue()}},
         " -n -a -o"},
        {"numbers, booleans and dates as the variant conversion writes them",
         {{u"A", mvcInput, u"-b", mv::Variant(true)},
          {u"B", mvcInput, u"-f", mv::Variant(-0.125)},
          {u"C", mvcInput, u"-d", mv::Variant::Date(45358.5)}},
         " -b-1 -f-0.125 -d3/7/2024 12:00:00 PM"},
        {"texts go in unquoted and unescaped",
         {{u"A", mvcInput, u"", mv::Variant(u"5; touch x")},
          {u"B", mvcInput, u"-q", mv::Variant(uR"("a b" c\ $(id) | `x`)")}},
         R"( 5; touch x -q"a b" c\ $(id) | `x`)"},
    };
    MvSetCommandRunner(&Recording);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        g_texts.clear();
        outputs_.Names().clear();
        auto calc = Make("/opt/blend/argdump", c.params);
        std::vector<mv::Variant> before;
        for (const Param& p : c.params) before.push_back(ValueOf(calc.get(), p.name));
        EXPECT_EQ(calc->Calculate(), S_OK);
        // "Out" stands last and adds a blank and its emptied value.
        EXPECT_EQ(g_texts, std::vector<std::string>{"\"/opt/blend/argdump" + c.tail + " \""});
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
        EXPECT_EQ(outputs_.Names(), std::vector<std::string>{"Out"});
        for (std::size_t i = 0; i < c.params.size(); ++i) {
            const mv::Variant after = ValueOf(calc.get(), c.params[i].name);
            ASSERT_EQ(after.vt, before[i].vt);
            if (after.vt == VT_DISPATCH || (after.vt & VT_ARRAY)) continue;
            formula_test::ExpectValue(after, before[i]);
        }
    }
}

TEST_F(ExeFormula, AnEmptyProgramNameRunsNothingAndRecordsNothing) {
    MvSetCommandRunner(&Recording);
    auto calc = Make("", {{u"A", mvcInput, u"-t", mv::Variant(5.5)}});
    EXPECT_EQ(calc->Calculate(), S_OK);
    EXPECT_TRUE(g_texts.empty());
    EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
    EXPECT_EQ(outputs_.Names(), std::vector<std::string>{"Out"});
}

// The program gets the words that the Windows rules split from the text, and
// nothing else is started: no shell reads ";", "$( )", "|" or quotes.
TEST_F(ExeFormula, TheProgramReceivesLiteralWordsAndNoShellRunsThem) {
    const std::string marker = (dir_ / "x").string();
    logtest::ScopedEnv dump("ARGDUMP_FILE", (dir_ / "args.txt").c_str());
    struct Case {
        std::u16string value;
        std::vector<std::string> args;
    } cases[] = {
        {u"fast", {"-t5.5", "/mode:fast"}},
        {mv::ToUtf16("5; touch " + marker), {"-t5.5", "/mode:5;", "touch", marker}},
        {mv::ToUtf16("$(touch " + marker + ")"), {"-t5.5", "/mode:$(touch", marker + ")"}},
        {mv::ToUtf16("a|touch " + marker + " && `id`"),
         {"-t5.5", "/mode:a|touch", marker, "&&", "`id`"}},
        {uR"("a b" c\\d \"q\")", {"-t5.5", "/mode:a b", R"(c\\d)", R"("q")"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.value));
        fs::remove(dir_ / "args.txt");
        auto calc = Make(formula_test::ArgdumpPath(),
                         {{u"A", mvcInput, u"-t", mv::Variant(5.5)},
                          {u"B", mvcInput, u"/mode:", mv::Variant(c.value)}},
                         false);
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), "");
        EXPECT_EQ(Dumped(), c.args);
        EXPECT_FALSE(fs::exists(marker));
        formula_test::ExpectValue(ValueOf(calc.get(), u"B"), mv::Variant(c.value));
    }
}

// A program that cannot be started fails the run: the output pass is
// skipped. A runner that throws leaves its text after the error text.
TEST_F(ExeFormula, AProgramThatDoesNotStartOrAFailingRunnerSkipsTheOutputPass) {
    const std::string plainFile = (dir_ / "notes.txt").string();
    std::ofstream(plainFile) << "not a program\n";
    const std::string missing = (dir_ / "no-such-program").string();
    struct Case {
        std::string program;
        MvCommandRunner runner;
        std::string error;
        std::string log;
    } cases[] = {
        {missing, nullptr, "Failed to start program: " + missing, ""},
        {"no-such-program-on-path", nullptr, "Failed to start program: no-such-program-on-path",
         ""},
        {plainFile, nullptr, "Failed to start program: " + plainFile, ""},
        {"/bin/false", nullptr, "", ""},  // exit codes are not read
        {"/bin/true", [](std::string_view) -> int { throw std::runtime_error("no process slots"); },
         "\nA runtime error occurred: no process slots.",
         "CMvCalculation::EXE_Execute: E_UNEXPECTED\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program);
        outputs_.Names().clear();
        MvSetCommandRunner(c.runner);
        auto calc = Make(c.program, {{u"A", mvcInput, u"-t", mv::Variant(5.5)}});
        values_test::LogCapture log;
        EXPECT_EQ(calc->Calculate(), S_OK);
        EXPECT_EQ(TextOf(calc.get(), &IMvCalculation::get_ErrorText), c.error);
        EXPECT_EQ(outputs_.Names().empty(), !c.error.empty());
        EXPECT_NE(log.Lines().find(c.log), std::string::npos);
    }
}

}  // namespace
}  // namespace calculation_test
