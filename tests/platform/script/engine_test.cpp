// The script engine through its COM interfaces: one table of scripts and
// their results, one of scripts and their errors, then the calling
// conventions, the Invoke failure mapping, the member cache and lifetime.
#include <gtest/gtest.h>

#include <span>

#include "../../support/bounded_run.h"
#include "../../support/failing_new.h"
#include "script_test_support.h"

namespace {

using mv::test::Spec;

class ScriptEngine : public ScriptItemsTest {
protected:
    // Runs a script and answers what it left in R.
    std::string Result(const char* script) {
        EXPECT_EQ(RunScript(script, site_), S_OK) << script;
        for (const auto& e : site_.errors) ADD_FAILURE() << script << ": " << e.description;
        return Spec(r_->value);
    }
};

struct ScriptRow {
    const char* script;
    const char* want;
};
// Scripts and what they leave in R; also the seeds of the fuzz test.
const ScriptRow kScripts[] = {
    {"R = 1 + 2 * 3", "I2:7"},
    {"R = 2 ^ 3 ^ 2", "R8:64"},
    {"R = -2 ^ 2", "R8:4"},
    {"R = 7 \\ 2 + 7 Mod 4", "I2:6"},
    {"R = \"a\" & 1 + 2", "Str:a3"},
    {"R = 1 < 2 And 3 > 2", "Bool:True"},
    {"R = Not 1 = 2", "Bool:True"},
    {"R = 1 Or 2 Xor 3", "I2:0"},
    {"R = &HFF + &O10", "I2:263"},
    {"R = &HFFFF", "I2:-1"},
    {"R = 32768", "I4:32768"},
    {"R = 3000000000", "R8:3000000000"},
    {"r = 1.5E2 ' comment", "R8:150"},
    {"R = \"say \"\"hi\"\"\"", "Str:say \"hi\""},
    {"R = #1/2/2023#", "Date:44928"},
    {"R = Null", "Null"},
    {"R = Nothing Is Nothing", "Bool:True"},
    {"Rem first\nx = 1 : R = X + _\n  2", "I2:3"},
    {"x = 5\nIf x > 10 Then\nR = 1\nElseIf x > 3 Then\nR = 2\nElse\nR = 3\nEnd If", "I2:2"},
    {"If 1 > 2 Then R = 1 Else R = 2", "I2:2"},
    {"If True Then x = 1 : R = x + 1", "I2:2"},
    {"If 1 Then : R = 4 : End If", "I2:4"},
    {"x = 3\nSelect Case x\nCase 1, 2\nR = 0\nCase 3\nR = \"three\"\nCase Else\nR = 9\n"
     "End Select",
     "Str:three"},
    {"For i = 1 To 10 Step 3 : s = s + i : Next : R = s", "I2:22"},
    {"For i = 3 To 1 Step -1 : s = s & i : Next i : R = s", "Str:321"},
    {"Dim a(2) : a(0) = 1 : a(2) = 3 : For Each v In a : s = s + v : Next : R = s", "I2:4"},
    {"For i = 1 To 2 : Dim a(1) : a(0) = a(0) + i : Next : R = a(0)", "I2:3"},
    {"For i = \"1\" To \"3\" : s = s + i : Next : R = s", "R8:6"},
    {"Do While i < 5 : i = i + 1 : Loop : R = i", "I2:5"},
    {"Do : i = i + 2 : Loop Until i >= 5 : R = i", "I2:6"},
    {"While i < 3 : i = i + 1 : Wend : R = i", "I2:3"},
    {"Do : i = i + 1 : If i = 4 Then Exit Do\nLoop : R = i", "I2:4"},
    {"For i = 1 To 10 : If i = 3 Then Exit For\nNext : R = i", "I2:3"},
    {"Function Twice(x) : Twice = x * 2 : End Function : R = Twice(21)", "I2:42"},
    {"Sub Bump(n) : n = n + 1 : End Sub : x = 1 : Bump x : R = x", "I2:2"},
    {"Sub Bump(ByVal n) : n = n + 1 : End Sub : x = 1 : Bump x : R = x", "I2:1"},
    {"Sub S(a, b) : R = a - b : End Sub : Call S(5, 3)", "I2:2"},
    {"Function F() : F = 1 : Exit Function : F = 2 : End Function : R = F()", "I2:1"},
    {"Function Fact(n)\nIf n <= 1 Then Fact = 1 Else Fact = n * Fact(n - 1)\nEnd Function\n"
     "R = Fact(10)",
     "I4:3628800"},
    {"Const K = 5 : R = K * 2", "I2:10"},
    {"Dim a() : ReDim a(1) : a(1) = 7 : ReDim Preserve a(3) : R = a(1) + UBound(a)", "I4:10"},
    {"Dim m(1, 2) : m(1, 2) = 5 : R = m(1, 2)", "I2:5"},
    {"On Error Resume Next : x = 1 / 0 : R = Err.Number", "I4:11"},
    {"On Error Resume Next : Err.Raise 1234, \"s\", \"boom\" : R = Err.Description & Err",
     "Str:boom1234"},
    {"On Error Resume Next : x = 1 / 0 : Err.Clear : R = Err.Number", "I4:0"},
    {"On Error Resume Next : Err.Raise 7, \"src\" : R = Err.Source & \" \" & Err.Description",
     "Str:src Out of memory"},
    {"Sub S : On Error Resume Next : x = 1 / 0 : End Sub\nS : R = Err.Number", "I4:11"},
    {"O.Level = 5 : R = O.Level + 1", "I2:6"},
    {"O = 10 : R = O + 1", "I2:11"},
    {"Set x = O : x = 3 : R = O", "I2:3"},
    {"Set x = O : R = x Is O", "Bool:True"},
    {"R = IsEmpty(undefinedName)", "Bool:True"},
    {"Function IsNull(x) : IsNull = 5 : End Function : R = IsNull(Null)", "I2:5"},
};

// Syntax the stored formulas use: sources are the language reference's
// statement pages and Wine's vbscript conformance tests
// (dlls/vbscript/tests/lang.vbs, api.vbs).
const ScriptRow kSyntax[] = {
    // reference: Public and Private statements (script level, procedures)
    {"Public x : Private y, z(1) : x = 1 : z(1) = 2 : R = x + z(1)", "I2:3"},
    {"Private Function F(a) : F = a * 2 : End Function : R = F(2)", "I2:4"},
    {"Public Sub S : R = 5 : End Sub : S", "I2:5"},
    {"Private Const K = 7 : R = K", "I2:7"},
    // reference: Const statement (several constants in one)
    {"Const a = 1, b = \"x\" : R = a & b", "Str:1x"},
    // lang.vbs: the comparison operators =>, =< and ><
    {"R = (2 => 1) & (1 =< 2) & (1 >< 2) & (1 => 2)", "Str:TrueTrueTrueFalse"},
    // &h before a character that is no hex digit: the operator & and a name
    {"hi = \"y\" : R = \"x\" &hi", "Str:xy"},
    {"ho = 1 : R = 2 &ho", "Str:21"},
    {"R = &hff", "I2:255"},
    // lang.vbs, api.vbs: with the & suffix the digits are a Long's 32 bits
    {"R = &hffff&", "I4:65535"},
    {"R = &hffffffff&", "I2:-1"},
    {"R = &hdeadbeef&", "I4:-559038737"},
    {"R = &h8000&", "I4:32768"},
    {"R = &o177777&", "I4:65535"},
    // reference: FormatNumber; api.vbs testFormatCurrency: arguments left out
    {"R = FormatNumber(-50, , , -1)", "Str:(50.00)"},
    {"On Error Resume Next : Err.Raise 5, , \"text\" : R = Err.Source & Err.Description",
     "Str:text"},
};

// Semantics: unary minus before ^, arguments by value or reference,
// procedure-wide Dim and the Err.Raise rules (Wine's lang.vbs and api.vbs
// testErrRaise; the reference's pages of the operators and statements).
const ScriptRow kSemantics[] = {
    {"R = -3 ^ 2", "R8:9"},  // lang.vbs: -3^2 is 9
    {"A = 3 : R = -A ^ 2", "R8:9"},
    {"R = 2 ^ -1", "R8:0.5"},
    {"R = 2 * -3 ^ 2", "R8:18"},
    // reference: ByRef and ByVal parameters; parentheses pass by value
    {"Sub S(n) : n = n + 1 : End Sub : x = 1 : S (x) : R = x", "I2:1"},
    {"Sub S(n) : n = n + 1 : End Sub : x = 1 : Call S(x) : R = x", "I2:2"},
    {"Sub S(n, m) : n = 5 : m = 6 : End Sub : x = 1 : y = 1 : S (x), y : R = x & y", "Str:16"},
    {"Function F(n) : n = 5 : End Function : x = 1 : y = F((x)) : R = x", "I2:1"},
    {"O.Level = 1 : x = 1 : O.Call (x) : R = x", "I2:1"},
    // lang.vbs: an array element passed ByRef is written back
    {"Sub S(n) : n = 7 : End Sub : Dim a(1) : S a(1) : R = a(1)", "I2:7"},
    {"Sub S(n) : n = n & \"!\" : End Sub : Dim a(1, 2) : a(1, 2) = \"x\" : S a(1, 2) : "
     "R = a(1, 2)",
     "Str:x!"},
    {"Sub S(ByVal n) : n = 7 : End Sub : Dim a(1) : a(1) = 1 : S a(1) : R = a(1)", "I2:1"},
    {"Sub S(n) : ReDim a(0) : n = 7 : End Sub : Dim a() : ReDim a(3) : S a(2) : R = UBound(a)",
     "I4:0"},
    // reference: Erase statement (a list of arrays, each in order with the
    // rules of one; an error stops the list where it is); a fixed-size array
    // stays fixed through ByRef parameters, a copy (ByVal, an element) is dynamic
    {"Dim a(1) : a(0) = 1 : b = Array(1, 2) : Erase a, b : R = UBound(a) & IsEmpty(a(0)) & "
     "IsArray(b)",
     "Str:1TrueTrue"},
    {"ReDim a(1) : Dim b(2) : c = Array(1) : b(0) = 2 : Erase a, b, c : On Error Resume Next : "
     "x = UBound(a) : n = Err.Number : Err.Clear : x = UBound(c) : "
     "R = n & Err.Number & UBound(b) & IsEmpty(b(0))",
     "Str:992True"},
    {"On Error Resume Next : Dim a(1), c(1) : a(0) = 1 : c(0) = 3 : x = 5 : Erase a, x, c : "
     "R = Err.Number & IsEmpty(a(0)) & c(0) & x",
     "Str:13True35"},
    {"Sub E(p) : Erase p : End Sub : Dim a(3) : a(1) = 2 : E a : a(0) = 2 : "
     "R = UBound(a) & a(0) & IsEmpty(a(1))",
     "Str:32True"},
    {"Sub E(p) : Erase p : End Sub : Sub F(q) : E q : End Sub : Dim a(3) : a(1) = 2 : F a : "
     "R = UBound(a) & IsEmpty(a(1))",
     "Str:3True"},
    {"On Error Resume Next : Sub E(p, q) : Erase p, q : End Sub : Dim a(2) : ReDim b(2) : "
     "a(0) = 1 : E a, b : x = UBound(b) : R = UBound(a) & IsEmpty(a(0)) & IsArray(b) & Err.Number",
     "Str:2TrueTrue9"},
    {"On Error Resume Next : Sub G(p) : ReDim p(6) : End Sub : Dim a(3) : G a : "
     "R = Err.Number & UBound(a)",
     "Str:103"},
    {"Function E(ByVal p) : Erase p : ReDim p(6) : E = UBound(p) : End Function : Dim a(3) : "
     "a(1) = 2 : R = E(a) & UBound(a) & a(1)",
     "Str:632"},
    {"Sub G(p) : ReDim p(4) : End Sub : Dim m(1) : m(0) = Array(1) : G m(0) : R = UBound(m(0))",
     "I4:4"},
    {"Const c = 1 : Sub S(p) : p = 7 : R = p : End Sub : S c", "I2:7"},
    // reference: Dim statement (a procedure's Dim covers the whole procedure)
    {"x = 1 : Sub S : x = 5 : Dim x : End Sub : S : R = x", "I2:1"},
    {"Function F\nF = IsEmpty(z)\nIf False Then\nDim z\nEnd If\nEnd Function\nz = 9 : R = F()",
     "Bool:True"},
    {"Sub S : For i = 1 To 2 : Dim t : t = t + 1 : Next : R = t : End Sub : S", "I2:2"},
    // api.vbs testErrRaise
    {"On Error Resume Next : Err.Raise 0 : R = Err.Number", "I4:5"},
    {"On Error Resume Next : Err.Raise : R = Err.Number", "I4:450"},
    {"On Error Resume Next : Err.Raise 1, \"abc\" : R = Err.Description",
     "Str:Unknown runtime error"},
    {"On Error Resume Next : Err.Raise &h8007000E& : R = Err.Number & Err.Description",
     "Str:7Out of memory"},
    {"On Error Resume Next : Err.Raise 1, 2, \"desc\" : Err.Raise 5 : "
     "R = Err.Number & Err.Source & Err.Description",
     "Str:52desc"},
    {"On Error Resume Next : Err.Raise 1, \"test\" : Err.Raise &h8007000E& : "
     "R = Err.Number & Err.Source & Err.Description",
     "Str:7testUnknown runtime error"},
    {"On Error Resume Next : Err.Raise 1, 2, \"desc\" : Err.Clear : Err.Raise 5 : "
     "R = Err.Description",
     "Str:Invalid procedure call or argument"},
    // Option Explicit: the named constants are known names
    {"Option Explicit\nDim x\nx = vbNewLine : R = Len(x)", "I4:2"},
    // reference: Err object (Raise's five arguments; the properties read,
    // assigned and cleared)
    {"On Error Resume Next : Err.Raise 1, \"src\", \"desc\", \"help.chm\", 7 : "
     "R = Err.Number & Err.Source & Err.Description & Err.HelpFile & Err.HelpContext",
     "Str:1srcdeschelp.chm7"},
    {"On Error Resume Next : Err.Raise 1, 2, \"d\", \"h\", 9 : Err.Raise 5 : "
     "R = Err.HelpFile & Err.HelpContext",
     "Str:h9"},
    {"Err.Number = 5 : Err.Description = \"x\" : Err.Source = \"s\" : Err.HelpFile = \"h\" : "
     "Err.HelpContext = \"3\" : R = Err.Number & Err.Description & Err.Source & Err.HelpFile & "
     "Err.HelpContext & Err",
     "Str:5xsh35"},
    {"On Error Resume Next : Err.Raise 1, 2, \"d\", \"h\", 9 : Err.Clear : "
     "R = Err.Number & Err.Description & Err.Source & Err.HelpFile & Err.HelpContext",
     "Str:00"},
    {"On Error Resume Next : Err.Raise 1, 2, 3, 4, 5, 6 : R = Err.Number", "I4:450"},
    // reference: Erase statement (a fixed-size array keeps its bounds, each
    // element Empty; a dynamic array is freed and can be ReDim'd again)
    {"Dim a(2) : a(0) = 1 : a(2) = \"x\" : Erase a : R = UBound(a) & IsEmpty(a(0)) & "
     "IsEmpty(a(2))",
     "Str:2TrueTrue"},
    {"Dim m(1, 2) : m(1, 2) = 5 : Erase m : R = UBound(m, 2) & IsEmpty(m(1, 2))", "Str:2True"},
    {"Function F : Dim a(1) : a(1) = 3 : Erase a : F = UBound(a) & IsEmpty(a(1)) : End Function\n"
     "R = F()",
     "Str:1True"},
    {"Dim a() : ReDim a(3) : a(1) = 2 : Erase a : R = IsArray(a)", "Bool:True"},
    {"Dim a() : ReDim a(3) : Erase a : ReDim a(1) : a(1) = 5 : R = UBound(a) & a(1)", "Str:15"},
    {"a = Array(1, 2) : Erase a : ReDim Preserve a(0) : R = UBound(a) & IsEmpty(a(0))",
     "Str:0True"},
};

TEST_F(ScriptEngine, StatementsAndOperatorsGiveTheirResults) {
    for (const auto& table :
         {std::span<const ScriptRow>(kScripts), std::span<const ScriptRow>(kSyntax),
          std::span<const ScriptRow>(kSemantics)}) {
        for (const ScriptRow& row : table) {
            r_->value.Clear();
            o_->value.Clear();
            EXPECT_EQ(Result(row.script), row.want) << row.script;
            site_.errors.clear();
        }
    }
}

// A named item named like a built-in function or constant hides it.
TEST_F(ScriptEngine, NamedItemsHideConstantsAndFunctions) {
    site_.items[u"vbRed"] = static_cast<ITestItem*>(o_.get());
    site_.items[u"Timer"] = static_cast<ITestItem*>(o_.get());
    site_.items[u"Filter"] = static_cast<ITestItem*>(o_.get());
    o_->value = mv::test::V("I2:5");
    EXPECT_EQ(Result("R = vbRed + Timer + Filter : vbRed = 7"), "I2:15");
    EXPECT_EQ(Spec(o_->value), "I2:7");
}

// s = s & x grows the variable's own string: no other holder of an earlier
// value sees it change, and the result is the one a plain concatenation
// gives, whatever x holds.
TEST_F(ScriptEngine, AppendingToAStringChangesNoOtherHolder) {
    const ScriptRow rows[] = {
        {"s = \"ab\" : t = s : s = s & \"cd\" : R = t & \"|\" & s", "Str:ab|abcd"},
        {"Dim a(40) : s = \"\" : For i = 1 To 40 : s = s & \"y\" : a(i) = s : Next\n"
         "bad = 0 : For i = 1 To 40 : If Len(a(i)) <> i Then bad = bad + 1\nNext\n"
         "R = bad & \":\" & Len(s)",
         "Str:0:40"},
        {"s = \"ab\" : s = s & s : s = s & s : R = s", "Str:abababab"},
        {"s = \"n\" : x = 12.5 : s = s & x : s = s & Null : s = s & True : s = s & e : R = s",
         "Str:n12.5True"},
        {"Sub Add(v) : v = v & \"!\" : End Sub\ns = \"hi\" : t = s : Add s : R = t & s",
         "Str:hihi!"},
        {"Function F() : F = \"a\" : F = F & \"b\" : End Function\nR = F()", "Str:ab"},
        {"s = 1 : s = s & 2 : R = s", "Str:12"},
        {"s = \"a\" : Set obj = O : s = s & obj : R = s", "Str:az"},
    };
    for (const ScriptRow& row : rows) {
        r_->value.Clear();
        o_->value = mv::Variant(u"z");
        EXPECT_EQ(Result(row.script), row.want) << row.script;
        EXPECT_TRUE(site_.errors.empty()) << row.script;
        site_.errors.clear();
    }
    RunScript("Const c = \"a\"\nc = c & \"b\"", site_);
    EXPECT_EQ(site_.errors.size(), 1u);  // a constant stays refused
}

// Arithmetic on numbers stores into its target as any assignment does: a
// string or array it held is replaced, an object's default member written,
// a ByRef argument or a function's result set; a value that is no number
// takes the general operators; a failure keeps the target.
TEST_F(ScriptEngine, ArithmeticStoresWhereAndWhatTheAssignmentDoes) {
    const ScriptRow rows[] = {
        {"s = \"abc\" : s = 1 + 2 : R = s", "I2:3"},
        {"Dim a(2) : a = 2 * 4 : R = a", "I2:8"},
        {"Set x = O : x = 2 * 3 : R = O.Value & \"/\" & TypeName(x)", "Str:6/Object"},
        {"Function F(a) : F = a * 2 : F = F + 1 : End Function : R = F(20)", "I2:41"},
        {"Sub S(v) : v = v * 10 : End Sub : x = 4 : S x : R = x", "I2:40"},
        {"Function G() : Dim t : t = 5 : t = t * t : G = t : End Function\n"
         "t = 1 : R = G() & t",
         "Str:251"},
        {"x = 32767 : x = x + 1 : R = x", "I4:32768"},
        {"x = 2147483647 : x = x + 1 : R = x", "R8:2147483648"},
        {"x = 7 : x = x / 2 : R = x", "R8:3.5"},
        {"x = 7 : y = x \\ 2 - x Mod 4 : R = y", "I2:0"},
        {"x = 7.5 : y = x Mod 2 : R = y", "I4:0"},
        {"i = 3 : b = i * 2 > 5 : R = b", "Bool:True"},
        {"s = \"4\" : x = s * 2 + 1 : R = x", "R8:9"},
        {"x = y + 1 : R = x", "I2:1"},
        {"x = Null : x = x + 1 : R = IsNull(x)", "Bool:True"},
        {"x = True : x = x + 1 : R = x", "I2:0"},
        {"O.Value = 4 : x = 2 : x = x * O : R = x", "I2:8"},
        {"Dim a(2) : i = 1 : a(i) = i + 1 : R = a(1)", "I2:2"},
        {"x = 5 : On Error Resume Next : x = x / 0 : R = x & \"/\" & Err.Number", "Str:5/11"},
    };
    for (const ScriptRow& row : rows) {
        r_->value.Clear();
        o_->value.Clear();
        EXPECT_EQ(Result(row.script), row.want) << row.script;
        site_.errors.clear();
    }
    struct ErrorRow {
        const char* script;
        LONG number;
        ULONG line;
        LONG column;
    };
    const ErrorRow errors[] = {
        {"x = 1 : y = 2 : z = x / (y - 2)", 11, 0, 16},
        {"x = 2147483647 : y = x Mod 0", 11, 0, 17},
        {"x = 2147483647 : y = x * x \\ 1", 6, 0, 17},
        {"Const c = 1 : c = c + 1", 501, 0, 14},
        {"Function F() : End Function : F = 1 + 1", 501, 0, 30},
        {"Option Explicit\nDim x\nx = 1\nx = x + y", 500, 3, 0},
        {"Option Explicit\nDim x\nx = 1\nz = x + 1", 500, 3, 0},
    };
    for (const ErrorRow& row : errors) {
        site_.errors.clear();
        RunScript(row.script, site_);
        ASSERT_EQ(site_.errors.size(), 1u) << row.script;
        EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(row.number)) << row.script;
        EXPECT_EQ(site_.errors[0].line, row.line) << row.script;
        EXPECT_EQ(site_.errors[0].column, row.column) << row.script;
    }
}

// A named item in arithmetic stands for its default value as the operator
// reads it: after the other operand ran, in the order of the operands, and
// only while no variable of its name hides it; a failed read is the
// statement's error.
TEST_F(ScriptEngine, NamedItemsInArithmeticAreReadWhenTheOperatorRuns) {
    const char* setter = "Function F() : O = 10 : F = 1 : End Function\n";
    const std::string rows[][2] = {
        {"O = 4 : R = O * O + O - O / O", "R8:19"},
        {std::string(setter) + "O = 4 : R = O - F()", "I2:9"},
        {std::string(setter) + "O = 4 : R = F() - O", "I2:-9"},
        {std::string(setter) + "O = 4 : R = O * 2 + F() * O", "I2:18"},
        {"Set x = O : O = 3 : R = x * O + (O) * 2 - O Mod 2", "I2:14"},
        {"O = 6 : R = 2 ^ O \\ O", "I4:10"},
        {"O = \"5\" : R = O + O & O", "Str:555"},
        {"O = Null : R = IsNull(O * 2 + 1)", "Bool:True"},
        {"O = 4 : For i = 1 To 2 : R = R & O * 2 : If i = 1 Then Dim O : O = 7\nNext", "Str:814"},
    };
    for (const auto& row : rows) {
        r_->value.Clear();
        o_->value.Clear();
        EXPECT_EQ(Result(row[0].c_str()), row[1]) << row[0];
        site_.errors.clear();
    }
    EXPECT_EQ(Spec(o_->value), "I2:4");  // the last script's Dim hid the item from then on

    // An object whose default value is no object's: the read fails.
    mv::Variant nothing;
    nothing.vt = VT_DISPATCH, nothing.pdispVal = nullptr;
    const struct {
        const char* script;
        LONG column;
    } failures[] = {{"x = 1\nR = O * 2", 0}, {"x = 1\nR = 2 - O", 0}, {"x = 1 : R = x + 1 + O", 8}};
    for (const auto& row : failures) {
        site_.errors.clear();
        o_->value = nothing;
        r_->value = mv::test::V("I2:3");
        RunScript(row.script, site_);
        ASSERT_EQ(site_.errors.size(), 1u) << row.script;
        EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(13)) << row.script;
        EXPECT_EQ(site_.errors[0].column, row.column) << row.script;
        EXPECT_EQ(Spec(r_->value), "I2:3") << row.script;
    }
}

// A procedure's parameters and Dims are its own, whatever the global code
// holds under the same names; a ByRef parameter is the caller's variable and
// hides a Dim of its name; names it makes without a Dim are its own too.
TEST_F(ScriptEngine, ProceduresKeepTheirOwnNames) {
    const ScriptRow rows[] = {
        {"x = 1 : Function F(x) : x = x + 1 : F = x : End Function : R = F(5) & x", "Str:61"},
        {"Function F() : x = 5 : Dim x : F = x : End Function\nx = 1 : R = F() & x", "Str:51"},
        {"Function F() : Const k = 3 : F = k * 2 : End Function\nk = 10 : R = F() & k", "Str:610"},
        {"Function F() : y = 4 : F = y : End Function\nR = F() & \"/\" & IsEmpty(y)", "Str:4/True"},
        {"Sub S(a) : Dim a : a = 2 : End Sub\nx = 1 : S x : R = x", "I2:2"},
        {"Sub S(ByVal a) : a = 2 : End Sub\nx = 1 : S x : R = x", "I2:1"},
        {"Function F(a, b) : a = a & b : b = 0 : F = a : End Function\n"
         "x = \"p\" : y = \"q\" : R = F(x, y) & x & y",
         "Str:pqpq0"},
        {"Function Fact(n)\nIf n <= 1 Then Fact = 1 Else Fact = n * Fact(n - 1)\nEnd Function\n"
         "R = Fact(10)",
         "I4:3628800"},
        {"Sub S(v) : v = v * 2 : End Sub\nDim a(2) : a(1) = 4 : S a(1) : R = a(1)", "I2:8"},
        {"Function F() : Dim v, s : For Each v In Array(1, 2, 3) : s = s + v : Next : "
         "F = s & \"/\" & v : End Function\nv = 9 : R = F() & \"/\" & v",
         "Str:6/3/9"},
        {"Function F() : Dim a(2) : a(1) = 5 : F = UBound(a) & a(1) : End Function\nR = F()",
         "Str:25"},
        {"Function F() : Dim a() : ReDim a(2) : a(2) = 7 : F = UBound(a) & a(2) : End Function\n"
         "a = 1 : R = F() & a",
         "Str:271"},
        {"Function G(x) : G = x * 10 : End Function\n"
         "Function F(x) : Dim t : t = x + 1 : F = G(t) + x : End Function\nR = F(1)",
         "I2:21"},
        {"Function F(n) : Dim i, s : For i = 1 To n : s = s & i : Next : F = s & i : End Function\n"
         "i = \"g\" : R = F(3) & i",
         "Str:1234g"},
        {"Sub S(o) : o.Value = 3 : Set o = Nothing : End Sub\nSet x = O : S x : R = O.Value & "
         "TypeName(x)",
         "Str:3Nothing"},
    };
    for (const ScriptRow& row : rows) {
        r_->value.Clear();
        o_->value.Clear();
        EXPECT_EQ(Result(row.script), row.want) << row.script;
        site_.errors.clear();
    }
}

// Expressions nested through calls share one bound: an expression of plain
// numbers, evaluated where the nesting is near it, fails as any other.
TEST_F(ScriptEngine, ArithmeticNestedDeepThroughCallsRunsOutOfStack) {
    std::string sum = "1", chain = "F(n - 1)";
    for (int i = 1; i < 450; ++i) sum += " + 1", chain += " + 0";
    const std::string f = "Function F(n)\nIf n = 0 Then\nF = " + sum + "\nElse\nF = " + chain +
                          "\nEnd If\nEnd Function\n";
    EXPECT_EQ(Result((f + "R = F(1)").c_str()), "I2:450");
    site_.errors.clear();
    RunScript((f + "R = F(6)").c_str(), site_);
    ASSERT_EQ(site_.errors.size(), 1u);
    EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(28));
    EXPECT_EQ(site_.errors[0].line, 2u);
}

// A run whose k-th request to the C allocator fails, for every k: the texts
// it reads, copies and joins stop it with error 7, and R keeps what it
// held, never a value made of texts that were lost.
TEST_F(ScriptEngine, ARunShortOfMemoryStopsWithError7InsteadOfAWrongText) {
    if (!mv_test::CanFailCAllocator()) GTEST_SKIP() << "the C allocator cannot be made to fail";
    QuietSite site;
    site.items = site_.items;
    o_->value = mv::Variant(u"beta");
    const std::string whole = Spec(mv::Variant(u"beta-beta-gamma:4"));
    for (size_t k = 1;; ++k) {
        SCOPED_TRACE(k);
        r_->value.Clear();
        site.raised = S_OK;
        HRESULT parsed = E_FAIL;
        auto engine =
            ParsedScript(R"(R = O & "-" & O & "-" & "gamma" & ":" & Len(O))", site, &parsed);
        ASSERT_EQ(parsed, S_OK);
        size_t made = 0;
        {
            mv_test::FailingNthNew failing(k, mv_test::Allocator::C);
            engine->SetScriptState(SCRIPTSTATE_CONNECTED);
            made = mv_test::CountedNews();
        }
        engine->Close();
        if (r_->value.vt != VT_EMPTY) {
            EXPECT_EQ(Spec(r_->value), whole);
        }
        EXPECT_TRUE(site.raised == S_OK || site.raised == mv::script::ErrorScode(7))
            << std::hex << site.raised;
        if (made < k) break;
    }
}

// A thread whose first statement finds memory short still stops a deep
// recursion with "Out of stack space" afterwards: its stack's floor is read
// without taking memory.
TEST_F(ScriptEngine, AFirstStatementShortOfMemoryLeavesTheStackChecked) {
    if (!mv_test::CanFailCAllocator()) GTEST_SKIP() << "the C allocator cannot be made to fail";
    EXPECT_EQ(Result("R = 1"), "I2:1");  // parsed once, so the run reads the floor
    QuietSite site;
    site.items = site_.items;
    for (size_t k = 1;; ++k) {
        SCOPED_TRACE(k);
        size_t made = 0;
        mv::test::OnThreadWithStack(64 * 1024, [&] {
            HRESULT parsed = E_FAIL;
            auto engine = ParsedScript("R = 1", site, &parsed);
            {
                mv_test::FailingNthNew failing(k, mv_test::Allocator::C);
                engine->SetScriptState(SCRIPTSTATE_CONNECTED);
                made = mv_test::CountedNews();
            }
            engine->Close();
            site.raised = S_OK;
            RunScript("Function F(n) : F = F(n + 1) : End Function : R = F(1)", site);
            EXPECT_EQ(site.raised, mv::script::ErrorScode(28));
        });
        if (made < k) break;
    }
}

TEST_F(ScriptEngine, ErrorsCarryNumberDescriptionAndPosition) {
    struct Row {
        const char* script;
        LONG number;
        ULONG line;
        LONG column;
        const char* description;
    };
    const Row rows[] = {
        {"x = 1 / 0", 11, 0, 0, "Division by zero"},
        {"x = 1\n  y = \"a\" + 1", 13, 1, 2, "Type mismatch"},
        {"x = 1 + _\n  \"a\"", 13, 0, 0, "Type mismatch"},  // a continued statement's first line
        {"R = (1", 1006, 0, 6, "Expected ')'"},
        {"x = 1 +", 1002, 0, 7, "Syntax error"},
        {"x = 1\nClass Foo", 1002, 1, 0, "Syntax error"},
        {"With O", 1002, 0, 0, "Syntax error"},
        {"x = 1 Eqv 2", 1025, 0, 6, "Expected end of statement"},
        {"x = \"abc", 1033, 0, 4, "Unterminated string constant"},
        {"x = 1 $ 2", 1032, 0, 6, "Invalid character"},
        {"If x Then\nR = 1", 1002, 1, 5, "Syntax error"},
        {"Option Explicit\nDim a\nb = 1", 500, 2, 0, "Variable is undefined: 'b'"},
        {"Set O = Nothing", 501, 0, 0, "Illegal assignment"},
        {"Const K = 1 : K = 2", 501, 0, 14, "Illegal assignment"},
        {"x = Nothing.Level", 424, 0, 0, "Object required"},
        {"Set x = 5", 424, 0, 0, "Object required"},
        {"x = O.Missing", 438, 0, 0, "Object doesn't support this property or method"},
        {"O.Fail &H80020003", 438, 0, 0, "Object doesn't support this property or method"},
        {"O.Fail &H8002000E", 450, 0, 0,
         "Wrong number of arguments or invalid property assignment"},
        {"O.Fail &H80020005", 13, 0, 0, "Type mismatch"},
        {"O.Fail &H80004005", static_cast<LONG>(E_FAIL), 0, 0, ""},
        {"Function F(a) : End Function : x = F(1, 2)", 450, 0, 31,
         "Wrong number of arguments or invalid property assignment"},
        {"Sub S(a, b) : End Sub : S 1, , 2", 450, 0, 24,
         "Wrong number of arguments or invalid property assignment"},
        {"vbCr = 1", 501, 0, 0, "Illegal assignment"},
        {"Set vbRed = O", 501, 0, 0, "Illegal assignment"},
        {"Option Explicit\nDim x\nx = vbNewLine : y = 1", 500, 2, 16, "Variable is undefined: 'y'"},
        {"Const a = 1, b", 1011, 0, 14, "Expected '='"},
        {"Sub S\nPublic x\nEnd Sub", 1024, 1, 0, "Expected statement"},
        {"x = &hz", 1002, 0, 4, "Syntax error"},
        {"x = nope(1)", 13, 0, 0, "Type mismatch"},
        {"Function F(n) : F = F(n + 1) : End Function : x = F(1)", 28, 0, 16, "Out of stack space"},
        {"Dim a(2) : x = a(5)", 9, 0, 11, "Subscript out of range"},
        {"Dim a(2) : ReDim a(3)", 10, 0, 11, "This array is fixed or temporarily locked"},
        {"Dim a(2) : x = a(Null)", 94, 0, 11, "Invalid use of Null"},
        {"On Error Resume Next : On Error GoTo 0 : x = 1 / 0", 11, 0, 41, "Division by zero"},
        {"Dim a() : x = UBound(a)", 9, 0, 10, "Subscript out of range"},
        {"Dim a() : ReDim a(1) : Erase a : x = UBound(a)", 9, 0, 33, "Subscript out of range"},
        {"a = Array(1, 2) : Erase a : x = LBound(a)", 9, 0, 28, "Subscript out of range"},
        {"a = Array(1) : Erase a : x = a(0)", 9, 0, 25, "Subscript out of range"},
        {"x = 5 : Erase x", 13, 0, 8, "Type mismatch"},
        {"Erase y", 13, 0, 0, "Type mismatch"},
        {"Option Explicit\nErase y", 500, 1, 0, "Variable is undefined: 'y'"},
        {"Dim Erase", 1010, 0, 4, "Expected identifier"},
        {"Err.Raise 5", 5, 0, 0, "Invalid procedure call or argument"},
    };
    for (const Row& row : rows) {
        site_.errors.clear();
        const HRESULT hr = RunScript(row.script, site_);
        EXPECT_EQ(hr, row.number > 1000 && row.number < 1100 ? SCRIPT_E_REPORTED : S_OK)
            << row.script;
        ASSERT_EQ(site_.errors.size(), 1u) << row.script;
        const TestSite::Error& e = site_.errors[0];
        const LONG want = row.number > 0 ? mv::script::ErrorScode(row.number) : row.number;
        EXPECT_EQ(e.scode, want) << row.script;
        EXPECT_EQ(e.description, row.description) << row.script;
        EXPECT_EQ(e.line, row.line) << row.script;
        EXPECT_EQ(e.column, row.column) << row.script;
    }
    EXPECT_EQ(site_.errors[0].lineText, "Err.Raise 5");
}

// An element's indexes and a call's arguments are evaluated before the
// array or object of the variable is taken: a procedure they call may have
// resized, replaced or emptied it.
TEST_F(ScriptEngine, IndexesAndArgumentsRunBeforeTheArrayOrObjectIsTaken) {
    const std::string grow = "Function F()\nReDim g(100000)\ng(1) = 7\nF = 1\nEnd Function\n";
    const std::string gone = "Function F()\nSet p = Nothing\nF = 1\nEnd Function\nSet p = O\n";
    const std::string plain = "Function F()\ng = 5\nF = 1\nEnd Function\n";
    const std::string take = "Sub S(n)\nn = 8\nEnd Sub\n";
    struct Row {
        std::string script;
        const char* want;  // what R holds, or the error's number
        LONG number;
    };
    const Row rows[] = {
        {grow + "ReDim g(5)\ng(F()) = 3\nR = g(1)", "I2:3", 0},
        {grow + "ReDim g(5)\nR = g(F())", "I2:7", 0},
        {take + grow + "ReDim g(5)\nS g(F())\nR = g(1)", "I2:8", 0},
        {gone + "R = p(F())", nullptr, 424},
        {gone + "p(F()) = 1", nullptr, 424},
        {plain + "ReDim g(5)\nR = g(F())", nullptr, 13},
        {plain + "ReDim g(5)\ng(F()) = 1", nullptr, 13},
        {take + plain + "ReDim g(5)\nS g(F())", nullptr, 13},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.script);
        site_.errors.clear();
        r_->value.Clear();
        if (row.want) {
            EXPECT_EQ(Result(row.script.c_str()), row.want);
            continue;
        }
        RunScript(row.script.c_str(), site_);
        ASSERT_EQ(site_.errors.size(), 1u);
        EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(row.number));
    }
}

TEST_F(ScriptEngine, MethodArgumentsGoReversedWithVariablesByReference) {
    EXPECT_EQ(Result("x = 1 : O.Call x, O, 5 : R = x"), "Str:written");
    const std::vector<VARTYPE> want = {VT_I2, VT_DISPATCH, VT_BYREF | VT_VARIANT};
    EXPECT_EQ(o_->received, want);
    // An argument left out reaches a member as VT_ERROR (DISP_E_PARAMNOTFOUND).
    EXPECT_EQ(Result("R = 1 : O.Call 1, , \"x\" : O.Call(1, , )"), "I2:1");
    const std::vector<VARTYPE> leftOut = {VT_ERROR, VT_ERROR, VT_I2};
    EXPECT_EQ(o_->received, leftOut);
}

// However many arguments a call has, each arrives in its reversed place and
// a variable by reference gets the member's write.
TEST_F(ScriptEngine, CallsOfAnyArgumentCountPassEveryArgument) {
    constexpr VARTYPE kRef = VT_BYREF | VT_VARIANT;
    struct Row {
        const char* script;
        std::vector<VARTYPE> received;
    };
    const Row rows[] = {
        {"O.Call", {}},
        {"O.Call x", {kRef}},
        {"O.Call x, 2, \"s\", x", {kRef, VT_BSTR, VT_I2, kRef}},
        {"O.Call x, 2, 3, 4, \"s\"", {VT_BSTR, VT_I2, VT_I2, VT_I2, kRef}},
        {"O.Call 1.5, x, 3, 4, 5, 6, 7, O",
         {VT_DISPATCH, VT_I2, VT_I2, VT_I2, VT_I2, VT_I2, kRef, VT_R8}},
    };
    for (const Row& row : rows) {
        const std::string script = std::string("x = 1 : ") + row.script + " : R = x";
        EXPECT_EQ(Result(script.c_str()), row.received.empty() ? "I2:1" : "Str:written") << script;
        EXPECT_EQ(o_->received, row.received) << script;
    }
}

TEST_F(ScriptEngine, InvokeFailuresMapToScriptErrors) {
    struct Row {
        HRESULT failure;
        LONG scode;
    };
    const Row rows[] = {
        {DISP_E_MEMBERNOTFOUND, mv::script::ErrorScode(438)},
        {DISP_E_UNKNOWNNAME, mv::script::ErrorScode(438)},
        {DISP_E_BADPARAMCOUNT, mv::script::ErrorScode(450)},
        {DISP_E_TYPEMISMATCH, mv::script::ErrorScode(13)},
        {E_NOTIMPL, E_NOTIMPL},
        {DISP_E_EXCEPTION, mv::script::ErrorScode(1234)},  // wCode when the scode is 0
    };
    o_->callCode = 1234;
    for (const Row& row : rows) {
        site_.errors.clear();
        o_->callFails = row.failure;
        RunScript("O.Call", site_);
        ASSERT_EQ(site_.errors.size(), 1u);
        EXPECT_EQ(site_.errors[0].scode, row.scode) << std::hex << row.failure;
    }
    EXPECT_EQ(site_.errors[0].description, "Custom failure");
}

TEST_F(ScriptEngine, MembersAreLookedUpOncePerObjectAndName) {
    o_->level = mv::test::V("I2:2");
    EXPECT_EQ(Result("For i = 1 To 5 : s = s + O.Level : O.level = i : Next : R = s"), "I2:12");
    EXPECT_EQ(o_->lookups[u"Level"], 1);
}

TEST_F(ScriptEngine, EnginesNestedThroughObjectsShareTheCallDepth) {
    o_->onCall = [this] { RunScript("O.Call", site_); };  // a formula that runs itself
    EXPECT_EQ(RunScript("O.Call", site_), S_OK);
    ASSERT_EQ(site_.errors.size(), 1u);
    EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(28));
    o_->onCall = nullptr;
}

TEST_F(ScriptEngine, EnumeratingAnObjectWalksItsItems) {
    o_->items = {mv::test::V("I2:1"), mv::test::V("Str:2"), mv::test::V("R8:3.5")};
    EXPECT_EQ(Result("For Each v In O : s = s & v : Next : R = s"), "Str:123.5");
    // An array an object hands over, of another element type than Variant.
    SAFEARRAY* doubles = SafeArrayCreateVector(VT_R8, 0, 2);
    static_cast<double*>(doubles->pvData)[0] = 1.5;
    static_cast<double*>(doubles->pvData)[1] = 2.5;
    o_->value.Clear();
    o_->value.vt = VT_ARRAY | VT_R8, o_->value.parray = doubles;
    EXPECT_EQ(Result("x = O : For Each v In x : s = s + v : Next : R = s + x(0)"), "R8:5.5");
}

TEST_F(ScriptEngine, ReportsOnceAndKeepsTheSiteInformed) {
    EXPECT_EQ(RunScript("x = 1 / 0 : R = 1", site_), S_OK);
    EXPECT_EQ(site_.errors.size(), 1u);
    EXPECT_EQ(r_->value.vt, VT_EMPTY);  // the script stopped at the error
    EXPECT_EQ(site_.enters, 1);
    EXPECT_EQ(site_.leaves, 1);
    const std::vector<SCRIPTSTATE> states = {SCRIPTSTATE_CONNECTED, SCRIPTSTATE_CLOSED};
    EXPECT_EQ(site_.states, states);
    EXPECT_EQ(site_.refs, 1u);
    EXPECT_EQ(r_->value.vt, VT_EMPTY);
}

TEST_F(ScriptEngine, ActivationFindsTheBuiltInClassUnlessTheProcessServesOne) {
    mv::ComPtr<IUnknown> engine;
    ASSERT_EQ(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                               engine.PutVoid()),
              S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(mv::RegisterClassObject<CTestItem>(CLSID_VBScript, &cookie), S_OK);
    mv::ComPtr<ITestItem> local;
    EXPECT_EQ(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_ITestItem,
                               local.PutVoid()),
              S_OK);
    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
}

TEST_F(ScriptEngine, ReleasingWithoutCloseFreesSiteAndItems) {
    {
        mv::ComPtr<IActiveScript> engine;
        ASSERT_EQ(CoCreateInstance(CLSID_VBScript, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                                   engine.PutVoid()),
                  S_OK);
        mv::ComPtr<IActiveScriptParse> parse;
        ASSERT_EQ(engine->SetScriptSite(&site_), S_OK);
        ASSERT_EQ(engine->QueryInterface(IID_IActiveScriptParse, parse.PutVoid()), S_OK);
        ASSERT_EQ(parse->InitNew(), S_OK);
        ASSERT_EQ(engine->AddNamedItem(u"O", SCRIPTITEM_ISVISIBLE), S_OK);
        ASSERT_EQ(engine->AddNamedItem(u"o", SCRIPTITEM_ISVISIBLE), S_OK);  // changes nothing
        // A null text is empty; a text ends at its first NUL.
        ASSERT_EQ(
            parse->ParseScriptText(nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr),
            S_OK);
        const char16_t text[] = u"Set x = O : O = 1\0O = 2";
        ASSERT_EQ(
            parse->ParseScriptText(text, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr),
            S_OK);
        ASSERT_EQ(engine->SetScriptState(SCRIPTSTATE_CONNECTED), S_OK);
        EXPECT_GT(site_.refs, 1u);
    }
    EXPECT_EQ(Spec(o_->value), "I2:1");
    EXPECT_EQ(site_.refs, 1u);
    EXPECT_EQ(o_->lookups.size(), 0u);
}

TEST_F(ScriptEngine, TheStatementBudgetStopsAnEndlessLoop) {
    mv::script::SetStatementBudgetForTesting(1000);
    EXPECT_EQ(RunScript("On Error Resume Next\nDo : x = x + 1 : Loop", site_), S_OK);
    mv::script::SetStatementBudgetForTesting(0);
    ASSERT_EQ(site_.errors.size(), 1u);
    EXPECT_EQ(site_.errors[0].scode, E_ABORT);
}

TEST_F(ScriptEngine, BadInputIsAnErrorWithItsPositionOrRuns) {
    site_.items[u"Gone"] = nullptr;  // added, but the site cannot hand it out
    const std::string deep = "x = " + std::string(150, '(') + "1" + std::string(150, ')');
    std::string chain = "x = 1";
    for (int i = 0; i < 600; ++i) chain += " + 1";
    const std::string surrogate = "x = 1\n" + mv::ToUtf8(u"y\xD800 = 1");
    struct Row {
        std::string script;
        LONG number;
        ULONG line;
    };
    const Row rows[] = {
        {deep, 1002, 0},
        {chain, 1002, 0},
        {surrogate, 1032, 1},
        {"x = Gone.Level", 424, 0},
        {"Dim a() : ReDim a(1, 1) : ReDim Preserve a(2, 1)", 9, 0},
        {"Do\nx = 1", 1002, 1},
        {"x = 32767 + 1 : x = 2147483647 * 2147483647 * 1E300 * 1E300", 6, 0},
    };
    for (const Row& row : rows) {
        site_.errors.clear();
        RunScript(row.script.c_str(), site_);
        ASSERT_EQ(site_.errors.size(), 1u) << row.script;
        EXPECT_EQ(site_.errors[0].scode, mv::script::ErrorScode(row.number)) << row.script;
        EXPECT_EQ(site_.errors[0].line, row.line) << row.script;
    }
    site_.errors.clear();
    EXPECT_EQ(Result(("R = \"" + std::string(100000, 'a') + "\"").c_str()).size(),
              100004u);  // a long line runs
}

// Scripts mutated from the table's: each is reported once or runs, within
// the statement budget, with no crash or leak.
TEST_F(ScriptEngine, MutatedScriptsFailCleanly) {
    const char* pieces[] = {"(",    ")",   "\"",      ":",    "\n",   " _\n",  "If ", "End ",
                            "Next", "1/0", ",",       ".",    "O",    "#",     "&H",  "Loop",
                            "Sub ", "=",   "Not ",    "Err.", ", ,",  "&h",    "&",   "=>",
                            "><",   "-",   "Public ", "Dim ", "vbCr", "Const "};
    std::vector<std::string> seeds;
    for (const auto& table :
         {std::span<const ScriptRow>(kScripts), std::span<const ScriptRow>(kSyntax),
          std::span<const ScriptRow>(kSemantics)})
        for (const ScriptRow& row : table) seeds.push_back(row.script);
    uint32_t seed = 12345;
    auto random = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    mv::script::SetStatementBudgetForTesting(2000);
    int reported = 0;
    for (int round = 0; round < 300; ++round) {
        std::string script = seeds[random(static_cast<uint32_t>(seeds.size()))];
        for (int edits = 1 + random(3); edits > 0; --edits) {
            const size_t at = random(static_cast<uint32_t>(script.size() + 1));
            if (random(2) == 0 && at < script.size())
                script.erase(at, 1 + random(4));
            else
                script.insert(std::min(at, script.size()), pieces[random(std::size(pieces))]);
        }
        site_.errors.clear();
        const HRESULT hr = RunScript(script.c_str(), site_);
        EXPECT_TRUE(hr == S_OK || hr == SCRIPT_E_REPORTED) << script;
        EXPECT_LE(site_.errors.size(), 1u) << script;
        reported += static_cast<int>(site_.errors.size());
    }
    mv::script::SetStatementBudgetForTesting(0);
    EXPECT_GT(reported, 50);
    EXPECT_EQ(site_.refs, 1u);
}

}  // namespace
