// The built-in functions, one table per family: each row is an expression,
// then the value and type it gives or "E" and its error number. Then Now in
// two time zones, and every function called with random arguments.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

#include "script_test_support.h"

namespace {

using mv::test::Spec;

struct Row {
    const char* expr;
    const char* want;
};

class Builtins : public ScriptItemsTest {
protected:
    void SetUp() override {
        ScriptItemsTest::SetUp();
        o_->value = mv::Variant(u"12");
    }
    // What `R = expr` leaves in R, or "E" and the error number it raises.
    std::string Eval(const std::string& expr) {
        r_->value.Clear();
        const std::string script = "On Error Resume Next\nR = " + expr +
                                   "\nIf Err.Number <> 0 Then R = \"E\" & Err.Number";
        EXPECT_EQ(RunScript(script.c_str(), site_), S_OK) << expr;
        for (const auto& e : site_.errors) ADD_FAILURE() << expr << ": " << e.description;
        site_.errors.clear();
        const std::string got = Spec(r_->value);
        return got.rfind("Str:E", 0) == 0 && got.size() > 5 && isdigit(got[5]) ? got.substr(4)
                                                                               : got;
    }
    void Check(const std::vector<Row>& rows) {
        for (const Row& row : rows) EXPECT_EQ(Eval(row.expr), row.want) << row.expr;
    }
};

TEST_F(Builtins, ValueTestsAndTypes) {
    Check({
        {"IsEmpty(Null)", "Bool:False"},
        {"IsEmpty(x)", "Bool:True"},
        {"IsNull(Null)", "Bool:True"},
        {"IsNumeric(\"1e3\")", "Bool:True"},
        {"IsNumeric(\" 12 \")", "Bool:True"},
        {"IsNumeric(\"12a\")", "Bool:False"},
        {"IsNumeric(Null)", "Bool:False"},
        {"IsNumeric(#1/1/2024#)", "Bool:False"},
        {"IsNumeric(O)", "Bool:True"},
        {"IsNumeric(Array(1))", "Bool:False"},
        {"IsObject(O)", "Bool:True"},
        {"IsDate(\"2/29/2024\")", "Bool:True"},
        {"IsDate(\"2/30/2024\")", "Bool:False"},
        {"IsDate(1)", "Bool:False"},
        {"IsArray(Split(\"a\"))", "Bool:True"},
        {"TypeName(1)", "Str:Integer"},
        {"TypeName(1.5)", "Str:Double"},
        {"TypeName(\"\")", "Str:String"},
        {"TypeName(Nothing)", "Str:Nothing"},
        {"TypeName(Array())", "Str:Variant()"},
        {"TypeName(CCur(1))", "Str:Currency"},
        {"VarType(Null)", "I2:1"},
        {"VarType(O)", "I2:8"},
        {"VarType(Nothing)", "I2:9"},
        {"VarType(Array(1))", "I2:8204"},
    });
}

TEST_F(Builtins, Conversions) {
    Check({
        {"CStr(1.5)", "Str:1.5"},
        {"CStr(True)", "Str:True"},
        {"CStr(DateSerial(2024, 2, 29))", "Str:2/29/2024"},
        {"CStr(Null)", "E94"},
        {"CStr(Empty)", "Str:"},
        {"CStr(O)", "Str:12"},
        {"CStr(Array(1))", "E13"},
        {"CInt(2.5)", "I2:2"},
        {"CInt(3.5)", "I2:4"},
        {"CInt(\"abc\")", "E13"},
        {"CInt(40000)", "E6"},
        {"CLng(3E10)", "E6"},
        {"CLng(\"12\")", "I4:12"},
        {"CByte(-1)", "E6"},
        {"CByte(255)", "UI1:255"},
        {"CBool(\"true\")", "Bool:True"},
        {"CBool(0)", "Bool:False"},
        {"CDbl(\"1e3\")", "R8:1000"},
        {"CSng(0.5)", "R4:0.5"},
        {"CCur(1.23456)", "Cy:1.2346"},
        {"CDate(\"2/30/2024\")", "E13"},
        {"CStr(CDate(\"2/29/2024\"))", "Str:2/29/2024"},
        {"CDbl(Null)", "E94"},
    });
}

TEST_F(Builtins, Math) {
    Check({
        {"Round(2.5)", "R8:2"},
        {"Round(3.5)", "R8:4"},
        {"Round(-2.5)", "R8:-2"},
        {"Round(2.675, 2)", "R8:2.68"},
        {"Round(1.005, 2)", "R8:1"},
        {"Round(0.1 + 0.2, 2) & \" \" & (Round(0.1 + 0.2, 16) = 0.1 + 0.2)", "Str:0.3 True"},
        {"Round(7)", "I2:7"},
        {"Round(CCur(2.5))", "Cy:2"},
        {"Round(1.5, -1)", "E5"},
        {"Round(Null)", "Null"},
        {"Int(-8.4)", "R8:-9"},
        {"Fix(-8.4)", "R8:-8"},
        {"Int(8.4)", "R8:8"},
        {"Int(CCur(-1.5))", "Cy:-2"},
        {"Fix(Null)", "Null"},
        {"Abs(-3)", "I2:3"},
        {"Abs(-32768)", "I4:32768"},
        {"Abs(\"-1.5\")", "R8:1.5"},
        {"Abs(Null)", "Null"},
        {"Sgn(-0.1)", "I2:-1"},
        {"Sgn(0)", "I2:0"},
        {"Sgn(Null)", "E94"},
        {"Sqr(16)", "R8:4"},
        {"Sqr(-1)", "E5"},
        {"Log(Exp(2))", "R8:2"},
        {"Log(0)", "E5"},
        {"Log(-1)", "E5"},
        {"Exp(1000)", "E6"},
        {"Atn(1) * 4", "R8:3.14159265358979"},
        {"Cos(0) + Sin(0) + Tan(0)", "R8:1"},
        {"Abs(Array(1))", "E13"},
    });
}

TEST_F(Builtins, Strings) {
    Check({
        {"InStr(1, \"abc\", \"B\", 1)", "I4:2"},
        {"InStr(\"abc\", \"B\")", "I4:0"},
        {"InStr(2, \"abcabc\", \"a\")", "I4:4"},
        {"InStr(5, \"abc\", \"a\")", "I4:0"},
        {"InStr(2, \"abc\", \"\")", "I4:2"},
        {"InStr(0, \"a\", \"a\")", "E5"},
        {"InStr(1, \"a\", \"a\", 2)", "E5"},
        {"InStr(Null, \"a\")", "Null"},
        {"InStrRev(\"abcabc\", \"b\")", "I4:5"},
        {"InStrRev(\"abcabc\", \"B\", 4, vbTextCompare)", "I4:2"},
        {"Mid(\"abcdef\", 2, 3)", "Str:bcd"},
        {"Mid(\"abc\", 2)", "Str:bc"},
        {"Mid(\"abc\", 9)", "Str:"},
        {"Mid(\"a\", 0)", "E5"},
        {"Mid(\"a\", 1, -1)", "E5"},
        {"Left(\"abc\", 2) & Right(\"abc\", 2)", "Str:abbc"},
        {"Left(\"abc\", 99)", "Str:abc"},
        {"Left(\"a\", -1)", "E5"},
        {"Left(Null, 1)", "Null"},
        {"Left(\"a\", Null)", "E94"},
        {"Len(Null)", "Null"},
        {"Len(123)", "I4:3"},
        {"Len(O)", "I4:2"},
        {"Len(Array())", "E13"},
        {"Trim(\"  a b  \") & \"|\" & LTrim(\" a \") & \"|\" & RTrim(\" a \")", "Str:a b|a | a"},
        {"UCase(\"aBc\") & LCase(\"aBc\")", "Str:ABCabc"},
        {"Replace(\"aXbxc\", \"x\", \"-\")", "Str:aXb-c"},
        {"Replace(\"aXbxc\", \"x\", \"-\", 1, -1, 1)", "Str:a-b-c"},
        {"Replace(\"abcabc\", \"b\", \"\", 3)", "Str:cac"},
        {"Replace(\"aaa\", \"a\", \"b\", 1, 2)", "Str:bba"},
        {"Replace(\"abc\", \"\", \"x\")", "Str:abc"},
        {"Replace(\"a\", \"a\", \"b\", 0)", "E5"},
        {"Replace(Null, \"a\", \"b\")", "E94"},
        {"Replace(Space(100000), \" \", Space(100000))", "E7"},
        {"StrComp(\"a\", \"B\")", "I2:1"},
        {"StrComp(\"a\", \"B\", 1)", "I2:-1"},
        {"StrComp(\"a\", Null)", "Null"},
        {"Chr(65) & Chr(128)", "Str:A€"},
        {"Chr(256)", "E5"},
        {"Asc(\"A\") + Asc(\"€\")", "I2:193"},
        {"Asc(\"\")", "E5"},
        {"Len(Space(3)) & String(3, \"xy\") & String(2, 66)", "Str:3xxxBB"},
        {"Space(-1)", "E5"},
        {"Space(2000000000)", "E7"},
        {"Hex(255) & \" \" & Hex(-1) & \" \" & Hex(-70000)", "Str:FF FFFF FFFEEE90"},
        {"FormatNumber(1234.5)", "Str:1,234.50"},
        {"FormatNumber(-0.125, 2, 0)", "Str:-.13"},
        {"FormatNumber(-1234567.891, 1, -1, -1, 0)", "Str:(1234567.9)"},
        {"FormatNumber(2.5, 0)", "Str:3"},
        {"FormatNumber(\"x\")", "E13"},
        {"vbCr & vbLf = vbCrLf And Len(vbTab) = 1", "Bool:True"},
        {"vbObjectError + vbBinaryCompare + vbTextCompare", "I4:-2147221503"},
    });
}

TEST_F(Builtins, Arrays) {
    Check({
        {"UBound(Array())", "I4:-1"},
        {"UBound(Array(1, 2, 3))", "I4:2"},
        {"Join(Array(1, \"b\", Null, True), \"-\")", "Str:1-b--True"},
        {"Join(Split(\"a,b,,c\", \",\"))", "Str:a b  c"},
        {"UBound(Split(\"\"))", "I4:-1"},
        {"Join(Split(\"a b c\", \" \", 2), \"|\")", "Str:a|b c"},
        {"Join(Split(\"aXbxc\", \"x\", -1, 1), \"|\")", "Str:a|b|c"},
        {"Join(Split(\"abc\", \"\"), \"|\")", "Str:abc"},
        {"Join(1)", "E13"},
        {"UBound(1)", "E13"},
        {"LBound(Array(1), 2)", "E9"},
    });
}

TEST_F(Builtins, Dates) {
    Check({
        {"DateDiff(\"d\", DateSerial(2024, 1, 1), DateSerial(2024, 3, 1))", "I4:60"},
        {"CStr(DateSerial(2024, 13, 1))", "Str:1/1/2025"},
        {"CStr(DateSerial(2024, 3, 0))", "Str:2/29/2024"},
        {"CStr(DateSerial(24, 1, 1))", "Str:1/1/2024"},
        {"CStr(DateAdd(\"m\", 1, DateSerial(2024, 1, 31)))", "Str:2/29/2024"},
        {"CStr(DateAdd(\"yyyy\", 1, DateSerial(2024, 2, 29)))", "Str:2/28/2025"},
        {"CStr(DateAdd(\"q\", -1, DateSerial(2024, 5, 31)))", "Str:2/29/2024"},
        {"CStr(DateAdd(\"ww\", 1, DateSerial(2024, 12, 28)))", "Str:1/4/2025"},
        {"CStr(DateAdd(\"h\", 25, #1/1/2024 10:00:00 PM#))", "Str:1/2/2024 11:00:00 PM"},
        {"CStr(DateAdd(\"n\", -1, #1/1/2024#))", "Str:12/31/2023 11:59:00 PM"},
        {"CStr(DateAdd(\"s\", 30, #1/1/2024#))", "Str:1/1/2024 12:00:30 AM"},
        {"DateSerial(10000, 1, 1)", "E5"},
        {"DateAdd(\"yyyy\", 9000, Now)", "E5"},
        {"DateAdd(\"x\", 1, Now)", "E5"},
        {"DateAdd(\"d\", 1, Null)", "Null"},
        {"DateDiff(\"yyyy\", #12/31/2023#, #1/1/2024#)", "I4:1"},
        {"DateDiff(\"m\", #1/31/2024#, #2/1/2024#)", "I4:1"},
        {"DateDiff(\"q\", #3/31/2024#, #4/1/2024#)", "I4:1"},
        {"DateDiff(\"w\", #1/1/2024#, #1/14/2024#)", "I4:1"},
        {"DateDiff(\"ww\", #1/6/2024#, #1/7/2024#)", "I4:1"},
        {"DateDiff(\"ww\", #1/6/2024#, #1/7/2024#, 2)", "I4:0"},
        {"DateDiff(\"h\", #1/1/2024 10:59:00 AM#, #1/1/2024 11:00:00 AM#)", "I4:1"},
        {"DateDiff(\"n\", #1/2/2024#, #1/1/2024#)", "I4:-1440"},
        {"DateDiff(\"s\", #1/1/100#, #1/1/9999#)", "E6"},
        {"DateDiff(\"d\", Null, Now)", "Null"},
        {"DateDiff(\"d\", Now, Now, 8)", "E5"},
        {"Year(#2/29/2024 1:02:03 PM#) & Month(#2/29/2024#) & Day(#2/29/2024#)", "Str:2024229"},
        {"Hour(#1:02:03 PM#) & Minute(#1:02:03 PM#) & Second(#1:02:03 PM#)", "Str:1323"},
        {"Year(Null)", "Null"},
        {"Year(\"x\")", "E13"},
        {"Year(\"3/1/2024\")", "I2:2024"},
        {"Weekday(#1/7/2024#) & Weekday(#1/7/2024#, vbTextCompare + 1)", "Str:17"},
        {"DatePart(\"y\", #3/1/2024#)", "I2:61"},
        {"DatePart(\"q\", #8/1/2024#)", "I2:3"},
        {"DatePart(\"ww\", #1/1/2022#)", "I2:1"},
        {"DatePart(\"ww\", #1/1/2022#, 2, 2)", "I2:52"},
        {"DatePart(\"ww\", #1/9/2022#, 1, 3)", "I2:2"},
        {"CStr(TimeSerial(25, -1, 0))", "Str:12/31/1899 12:59:00 AM"},
        {"CStr(TimeSerial(-1, 0, 0))", "Str:12/29/1899 11:00:00 PM"},
        {"CStr(DateSerial(2024, 1, 1) + TimeSerial(6, 30, 0))", "Str:1/1/2024 6:30:00 AM"},
    });
}

TEST_F(Builtins, ObjectsAndArguments) {
    Check({
        {"TypeName(CreateObject(\"Morva.Calc.No.Such\"))", "E429"},
        {"CreateObject(Null)", "E94"},
        {"Len()", "E450"},
        {"Mid(\"a\", 1, 1, 1)", "E450"},
        {"Now(1)", "E450"},
        {"MsgBox(1)", "E13"},
        {"Eval(\"1\")", "E13"},
        {"Len(Nothing)", "E424"},
    });
    o_->value.Clear();
    o_->value.vt = VT_DATE, o_->value.date = 1e300;
    Check({{"Year(O)", "E5"}, {"DateAdd(\"d\", 1, O)", "E5"}});
    o_->value = mv::Variant(std::numeric_limits<double>::quiet_NaN());
    Check({{"Round(O, 2)", "R8:nan"}, {"FormatNumber(O)", "E6"}});
}

// The language reference's named constants. Values and types from Wine's
// vbscript conformance tests (dlls/vbscript/tests/api.vbs, TestConstant*).
TEST_F(Builtins, NamedConstants) {
    Check({
        {"Len(vbNewLine) & Asc(vbFormFeed) & Asc(vbVerticalTab) & Asc(vbNullChar)",
         "Str:212110"},                                               // api.vbs TestConstantBSTR
        {"vbNewLine = vbCrLf And vbNullString = \"\"", "Bool:True"},  // api.vbs
        {"vbSunday", "I2:1"},                                         // api.vbs vbSunday
        {"vbSaturday", "I2:7"},                                       // api.vbs vbSaturday
        {"vbUseSystemDayOfWeek", "I2:0"},                             // api.vbs TestConstant
        {"vbFirstFourDays", "I2:2"},                                  // api.vbs TestConstant
        {"vbLongTime", "I2:3"},                                       // api.vbs TestConstant
        {"vbDatabaseCompare", "I2:2"},                                // api.vbs TestConstant
        {"vbString", "I2:8"},                                         // api.vbs TestConstant
        {"vbArray + vbVariant", "I2:8204"},                           // api.vbs VarType(arr)
        {"vbByte", "I2:17"},                                          // api.vbs TestConstant
        {"vbTrue & vbFalse & vbUseDefault", "Str:-10-2"},             // api.vbs TestConstant
        {"vbRed", "I4:255"},                                          // api.vbs TestConstantI4
        {"vbBlack", "I4:0"},                                          // api.vbs TestConstantI4
        {"vbWhite", "I4:16777215"},                                   // api.vbs TestConstantI4
        {"vbObjectError", "I4:-2147221504"},                          // api.vbs TestConstantI4
        {"vbSystemModal + vbQuestion", "I2:4128"},                    // api.vbs TestConstant
        {"vbMsgBoxRtlReading", "I4:1048576"},                         // api.vbs TestConstantI4
        {"vbYes & vbNo & vbRetryCancel", "Str:675"},                  // api.vbs vbYes, vbNo
        {"TypeName(vbEmpty)", "Str:Integer"},                         // api.vbs TestConstant
        // Assigning to a constant, as to a script's own Const.
        {"0 : vbCr = 1", "E501"},  // language reference: Const
        {"0 : vbRed = 1", "E501"},
        {"0 : For vbSunday = 1 To 2 : Next", "E501"},
        {"0 : ReDim vbLf(2)", "E501"},
        {"0 : For Each vbTab In Array(1) : Next", "E501"},
        {"vbTab(1)", "E450"},
    });
}

// Strings: Wine's api.vbs (TestStrReverse, TestOct, testInStrRevError,
// testAsc) and the language reference's pages of the functions.
TEST_F(Builtins, MoreStrings) {
    Check({
        {"StrReverse(\"test\") & StrReverse(123)", "Str:tset321"},  // api.vbs TestStrReverse
        {"StrReverse(\"\")", "Str:"},                               // api.vbs TestStrReverse
        {"StrReverse(Null)", "E94"},  // reference: StrReverse (Null: an error)
        {"Oct(9) & \" \" & Oct(\"9\") & \" \" & Oct(8.5)", "Str:11 11 10"},  // api.vbs TestOct
        {"Oct(-1) & \" \" & Oct(-32768)", "Str:177777 37777700000"},         // api.vbs TestOct
        {"Oct(Null)", "Null"},                                               // api.vbs TestOct
        {"Oct(\"test\")", "E13"},                                            // api.vbs TestOctError
        {"Oct(2147483647.5)", "E6"},                                         // api.vbs TestOctError
        {"InStrRev(\"abcd\", Null)", "E94"},  // api.vbs testInStrRevError
        {"InStrRev(Null, \"abcd\")", "E94"},  // api.vbs testInStrRevError
        {"InStr(\"abcd\", Null)", "Null"},    // api.vbs: InStr, unlike InStrRev
        {"AscW(\"A\") & \" \" & AscW(ChrW(&HFFFF&)) & \" \" & AscW(ChrW(8364))",
         "Str:65 -1 8364"},     // reference: Asc (AscW), Chr (ChrW)
        {"ChrW(65536)", "E5"},  // reference: Chr (ChrW's range)
        {"ChrW(-32769)", "E5"},
        {"AscW(\"\")", "E5"},
        {"AscB(\"A\") & \" \" & AscB(ChrB(200))", "Str:65 200"},  // reference: Asc (AscB)
        {"Len(ChrB(65))", "I4:0"},                                // one byte: half a character
        {"ChrB(256)", "E5"},
        {"Escape(\"a b+c/d@e*f_g-h.i\")", "Str:a%20b+c/d@e*f_g-h.i"},  // reference: Escape
        {"Escape(\"100%\" & ChrW(8364) & Chr(233))", "Str:100%25%u20AC%E9"},
        {"Unescape(\"a%20b%u20AC%zz%4\")", "Str:a b€%zz%4"},  // reference: Unescape
        {"Unescape(Escape(\"x=1&y=\" & ChrW(1234)))", "Str:x=1&y=Ӓ"},
        {"Escape(Null)", "Null"},
        {"Join(Filter(Array(\"ab\", \"cd\", \"Abc\"), \"a\"), \"|\")", "Str:ab"},  // Filter
        {"Join(Filter(Array(\"ab\", \"cd\", \"Abc\"), \"a\", True, 1), \"|\")", "Str:ab|Abc"},
        {"Join(Filter(Array(\"ab\", \"cd\", \"Abc\"), \"a\", False), \"|\")", "Str:cd|Abc"},
        {"UBound(Filter(Array(\"ab\"), \"z\"))", "I4:-1"},  // reference: Filter (no match)
        {"Join(Filter(Array(1, 12, 3), 1), \"|\")", "Str:1|12"},
        {"Filter(\"ab\", \"a\")", "E13"},
        {"Filter(Null, \"a\")", "E94"},
        {"Filter(Array(\"a\", Null), \"a\")", "E94"},
        {"Filter(Array(\"a\"), \"a\", True, 2)", "E5"},
    });
}

// Dates: Wine's api.vbs (testDateSerial, CDate, MonthName, WeekDayName,
// testFormatDateTime*) and the reference pages of the functions.
TEST_F(Builtins, MoreDates) {
    Check({
        {"CStr(DateSerial(0, 2, 1))", "Str:2/1/2000"},   // api.vbs testDateSerial(0, 2, 1)
        {"CStr(DateSerial(29, 2, 1))", "Str:2/1/2029"},  // the window of text dates
        {"CStr(DateSerial(50, 2, 1))", "Str:2/1/1950"},  // api.vbs testDateSerial(50, 2, 1)
        {"CStr(DateSerial(99, 2, 1))", "Str:2/1/1999"},  // api.vbs testDateSerial(99, 2, 1)
        {"CStr(DateSerial(100, 2, 1))", "Str:2/1/100"},  // api.vbs testDateSerial(100, 2, 1)
        {"DateSerial(24, 1, 1) = CDate(\"1/1/24\")", "Bool:True"},
        {"CDate(\"1\")", "Date:1"},                  // api.vbs CDate("1") = #1899-12-31#
        {"CDate(\"-1\")", "Date:-1"},                // api.vbs CDate(-1)
        {"CStr(CDate(\"1.1\"))", "Str:1:01:00 AM"},  // a dotted time stays a time
        {"CDate(\"\")", "E13"},                      // api.vbs testCDateError("")
        {"MonthName(1) & MonthName(12, True) & MonthName(1, 10)", "Str:JanuaryDecJan"},  // api.vbs
        {"MonthName(13)", "E5"},        // reference: MonthName (1 to 12)
        {"MonthName(Null)", "E94"},     // api.vbs testMonthNameError
        {"MonthName(1, Null)", "E94"},  // api.vbs testMonthNameError
        {"WeekdayName(3) & WeekdayName(1, True)", "Str:TuesdaySun"},          // api.vbs WeekDayName
        {"WeekdayName(1, True, 2) & WeekdayName(1, True, 7)", "Str:MonSat"},  // api.vbs
        {"WeekdayName(1, True, 1.5) & WeekdayName(1.1)", "Str:MonSunday"},    // api.vbs
        {"WeekdayName(1, False, vbUseSystemDayOfWeek)", "Str:Sunday"},
        {"WeekdayName(8)", "E5"},
        {"WeekdayName(1, False, 8)", "E5"},
        {"CStr(DateValue(\"2/29/2024 1:02:03 PM\"))", "Str:2/29/2024"},   // reference: DateValue
        {"CStr(TimeValue(\"2/29/2024 1:02:03 PM\"))", "Str:1:02:03 PM"},  // reference: TimeValue
        {"CStr(DateValue(#2/29/2024 6:00:00 AM#))", "Str:2/29/2024"},
        {"TimeValue(#12/29/1899 6:00:00 AM#)", "Date:0.25"},  // the time of a date before 1900
        {"DateValue(Null)", "Null"},
        {"DateValue(\"x\")", "E13"},
        {"FormatDateTime(#2/29/2024 1:02:03 PM#)", "Str:2/29/2024 1:02:03 PM"},  // reference
        {"FormatDateTime(#2/29/2024 1:02:03 PM#, vbLongDate)",
         "Str:Thursday, February 29, 2024"},  // reference: FormatDateTime, en-US long date
        {"FormatDateTime(#2/29/2024 1:02:03 PM#, vbShortDate)", "Str:2/29/2024"},
        {"FormatDateTime(#2/29/2024 1:02:03 PM#, vbLongTime)", "Str:1:02:03 PM"},
        {"FormatDateTime(#2/29/2024 1:02:03 PM#, vbShortTime)", "Str:13:02"},
        {"FormatDateTime(#1/1/2024#, 3)", "Str:12:00:00 AM"},
        {"FormatDateTime(0.1, 1)", "Str:Saturday, December 30, 1899"},  // api.vbs: a BSTR
        {"FormatDateTime(Null)", "E13"},       // api.vbs testFormatDateTimeError
        {"FormatDateTime(0.1, Null)", "E94"},  // api.vbs testFormatDateTimeError
        {"FormatDateTime(0, 5)", "E5"},
    });
}

// Numbers as text: Wine's api.vbs (testFormat*Error, TestRound) and the
// reference pages of FormatCurrency and FormatPercent (en-US).
TEST_F(Builtins, Formats) {
    Check({
        {"FormatCurrency(1234.5)", "Str:$1,234.50"},           // reference: FormatCurrency
        {"FormatCurrency(-1000, , , -1)", "Str:($1,000.00)"},  // api.vbs testFormatCurrency
        {"FormatCurrency(-1000, , , 0)", "Str:-$1,000.00"},
        {"FormatCurrency(-0.5, 0, 0, 0, 0)", "Str:-$1"},
        {"FormatCurrency(Null)", "E13"},               // api.vbs testFormatCurrencyError
        {"FormatCurrency(1000, Null)", "E94"},         // api.vbs testFormatCurrencyError
        {"FormatPercent(0.125)", "Str:12.50%"},        // reference: FormatPercent
        {"FormatPercent(.12, , , -1)", "Str:12.00%"},  // api.vbs testFormatPercent
        {"FormatPercent(-0.5, 0, , -1)", "Str:(50%)"},
        {"FormatPercent(123.4, 0)", "Str:12,340%"},
        {"FormatPercent(Null)", "E13"},             // api.vbs testFormatPercentError
        {"FormatNumber(Null)", "E13"},              // api.vbs testFormatNumberError
        {"FormatNumber(.10, 0, Null)", "E94"},      // api.vbs testFormatNumberError
        {"FormatNumber(.12, , , -1)", "Str:0.12"},  // api.vbs testFormatNumber
        {"FormatNumber(-50, , , -1)", "Str:(50.00)"},
        {"Round(True)", "Bool:True"},  // api.vbs TestRound true, true, "VT_BOOL"
        {"Round(False, 2)", "Bool:False"},
        {"Round(\"2\")", "R8:2"},  // api.vbs TestRound "2", 2, "VT_R8"
    });
}

// Colours, random numbers, the engine and the locale: Wine's api.vbs
// (RGB, testRnd, testRandomize, ScriptEngine) and the reference pages.
TEST_F(Builtins, ColoursRandomNumbersEngineAndLocale) {
    Check({
        {"RGB(0, &h1f&, &hf1&)", "I4:15802112"},       // api.vbs: &hf11f00&
        {"RGB(&h1&, &h100&, &h111&)", "I4:16776961"},  // api.vbs: &hffff01&
        {"RGB(-1, 1, 1)", "E5"},                       // api.vbs testRGBError
        {"RGB(1, Null, 1)", "E94"},
        {"Rnd(0)", "R4:1.953125E-02"},  // api.vbs: 327680 / 16777216
        {"Rnd", "R4:0.7055475"},        // the first number of a new engine
        {"Rnd(0)", "R4:1.953125E-02"},  // engines share no state
        {"Rnd(-2) = Rnd(-2) And Rnd(-1) <> Rnd(-2)", "Bool:True"},          // api.vbs testRnd
        {"0 : x = Rnd : R = (Rnd(0) = x) And (Rnd(1) <> x)", "Bool:True"},  // reference: Rnd
        {"0 : Rnd -1 : Randomize 123 : x = Rnd : Randomize 123 : y = Rnd : Rnd -1 : "
         "Randomize 123 : R = (x <> y) & (x = Rnd)",
         "Str:TrueTrue"},  // api.vbs testRandomize
        {"0 : Randomize : x = Rnd : R = x >= 0 And x < 1", "Bool:True"},
        {"Rnd(Null)", "E94"},
        {"ScriptEngine", "Str:VBScript"},  // api.vbs ScriptEngine
        {"ScriptEngineMajorVersion & \".\" & ScriptEngineMinorVersion & \".\" & "
         "ScriptEngineBuildVersion",
         "Str:5.8.16384"},
        {"VarType(ScriptEngineBuildVersion)", "I2:3"},  // api.vbs: VT_I4
        {"GetLocale", "I4:1033"},                       // reference: GetLocale
        {"SetLocale(1033) & SetLocale(\"en-us\") & SetLocale(0) & SetLocale",
         "Str:1033103310331033"},
        {"SetLocale(1031)", "E5"},  // en-US only
        {"0 : On Error Resume Next : SetLocale \"de-de\" : Err.Clear : R = GetLocale", "I4:1033"},
        {"TypeName(Timer)", "Str:Single"},  // api.vbs getVT(Timer) = VT_R4
    });
}

// Arguments left out of a call list: a built-in takes its default; a
// required one left out is a wrong argument count (reference: FormatNumber).
TEST_F(Builtins, LeftOutArguments) {
    Check({
        {"FormatNumber(-50, , , -1)", "Str:(50.00)"},
        {"FormatNumber(1234.5, , , , 0)", "Str:1234.50"},
        {"Mid(\"abcdef\", 2, )", "Str:bcdef"},
        {"Join(Split(\"a b\", ), )", "Str:a b"},
        {"InStr(1, \"abc\", \"B\", )", "I4:0"},
        {"Replace(\"aXa\", \"x\", \"-\", , , 1)", "Str:a-a"},
        {"Left(, 1)", "E450"},
        {"Len(, )", "E450"},
        {"DateAdd(\"d\", , Now)", "E450"},
    });
}

int64_t gClock = 0;
int64_t FixedClock() {
    return gClock;
}

TEST_F(Builtins, NowReadsTheClockInTheProcessTimeZone) {
    const char* saved = std::getenv("TZ");
    const std::string old = saved ? saved : "";
    gClock = 1719835200LL * 1000000 + 250000;  // 7/1/2024 12:00:00.25 UTC
    mv::SetClockForTesting(&FixedClock);
    for (const auto& [zone, want] :
         {std::pair{"UTC0", "7/1/2024 12:00:00 PM"}, std::pair{"XST+5", "7/1/2024 7:00:00 AM"}}) {
        setenv("TZ", zone, 1), tzset();
        EXPECT_EQ(Eval("CStr(Now)"), std::string("Str:") + want) << zone;
        EXPECT_EQ(Eval("CStr(Date) & \"|\" & Hour(Time)"),
                  std::string("Str:7/1/2024|") + (zone[0] == 'U' ? "12" : "7"));
        // Timer: seconds since local midnight, from the same clock.
        EXPECT_EQ(Eval("Timer"), zone[0] == 'U' ? "R4:43200.25" : "R4:25200.25") << zone;
    }
    mv::SetClockForTesting(nullptr);
    saved ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
    tzset();
}

// Every function with random arguments of every kind: each call answers a
// value or a script error, under the sanitizers.
TEST_F(Builtins, RandomArgumentsNeverCrash) {
    const char* const functions[] = {"CreateObject",
                                     "IsEmpty",
                                     "IsNull",
                                     "IsObject",
                                     "IsArray",
                                     "IsNumeric",
                                     "IsDate",
                                     "TypeName",
                                     "VarType",
                                     "CBool",
                                     "CByte",
                                     "CCur",
                                     "CDate",
                                     "CDbl",
                                     "CInt",
                                     "CLng",
                                     "CSng",
                                     "CStr",
                                     "Abs",
                                     "Atn",
                                     "Cos",
                                     "Exp",
                                     "Fix",
                                     "Int",
                                     "Log",
                                     "Round",
                                     "Sgn",
                                     "Sin",
                                     "Sqr",
                                     "Tan",
                                     "Len",
                                     "Left",
                                     "Mid",
                                     "Right",
                                     "InStr",
                                     "InStrRev",
                                     "Trim",
                                     "LTrim",
                                     "RTrim",
                                     "UCase",
                                     "LCase",
                                     "Replace",
                                     "StrComp",
                                     "Chr",
                                     "Asc",
                                     "Space",
                                     "String",
                                     "Hex",
                                     "FormatNumber",
                                     "Array",
                                     "LBound",
                                     "UBound",
                                     "Split",
                                     "Join",
                                     "Now",
                                     "Date",
                                     "Time",
                                     "DateSerial",
                                     "TimeSerial",
                                     "DateAdd",
                                     "DateDiff",
                                     "DatePart",
                                     "Year",
                                     "Month",
                                     "Day",
                                     "Hour",
                                     "Minute",
                                     "Second",
                                     "Weekday",
                                     "Oct",
                                     "StrReverse",
                                     "MonthName",
                                     "WeekdayName",
                                     "FormatCurrency",
                                     "FormatPercent",
                                     "FormatDateTime",
                                     "Filter",
                                     "RGB",
                                     "Rnd",
                                     "Randomize",
                                     "DateValue",
                                     "TimeValue",
                                     "Escape",
                                     "Unescape",
                                     "ScriptEngine",
                                     "ScriptEngineMajorVersion",
                                     "ScriptEngineMinorVersion",
                                     "ScriptEngineBuildVersion",
                                     "GetLocale",
                                     "SetLocale",
                                     "Timer",
                                     "AscB",
                                     "AscW",
                                     "ChrB",
                                     "ChrW",
                                     "vbNewLine",
                                     "vbRed",
                                     "vbSunday"};
    const char* const values[] = {"Null",
                                  "Empty",
                                  "Nothing",
                                  "O",
                                  "0",
                                  "-1",
                                  "2.5",
                                  "1E308",
                                  "-1E308",
                                  "40000",
                                  "2147483647",
                                  "\"\"",
                                  "\"abc\"",
                                  "\"1e3\"",
                                  "\"d\"",
                                  "\"ww\"",
                                  "\"2/29/2024\"",
                                  "True",
                                  "#1/1/100#",
                                  "#12/31/9999 11:59:59 PM#",
                                  "Array(1, Null)",
                                  "Array()",
                                  "CCur(-922337203685477)",
                                  "CByte(255)",
                                  "vbCrLf",
                                  "",
                                  "Array(\"ab\", \"b\")",
                                  "\"%u12%41%\"",
                                  "1033"};
    std::mt19937 random(22);
    int calls = 0, values_ = 0;
    for (const char* f : functions) {
        std::string script = "On Error Resume Next\n";
        for (int i = 0; i < 40; ++i) {
            std::string call = std::string("Err.Clear : x = ") + f + "(";
            const int n = static_cast<int>(random() % 5);
            for (int k = 0; k < n; ++k)
                call += std::string(k ? ", " : "") + values[random() % std::size(values)];
            script += call + ")\nIf Err.Number = 0 Then n = n + 1\n";
            ++calls;
        }
        script += "R = 0 + n";
        r_->value.Clear();
        ASSERT_EQ(RunScript(script.c_str(), site_), S_OK) << f;
        EXPECT_TRUE(site_.errors.empty()) << f;
        values_ += static_cast<int>(mv::test::IntOf(r_->value));
    }
    EXPECT_EQ(calls, 40 * static_cast<int>(std::size(functions)));
    EXPECT_GT(values_, calls / 10);
}

}  // namespace
