// The texts of caught exceptions, in the common form and the run's form.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "exceptions.h"
#include "frame/exception_text.h"

namespace {

template <class E>
std::exception_ptr Thrown(E e) {
    return std::make_exception_ptr(e);
}

TEST(ExceptionText, EachKindOfExceptionGivesItsText) {
    const std::string longText(400, 'x');
    struct Row {
        std::exception_ptr error;
        std::string common, run;
    } rows[] = {
        {Thrown(COleDispatchException(E_FAIL, u"Bad call", u"Src")), "Bad call", "\nBad call"},
        {Thrown(COleDispatchException(E_FAIL, mv::ToUtf16(longText), u"")), std::string(255, 'x'),
         "\n" + longText},
        {Thrown(std::invalid_argument("arg")), "A logic error occurred: arg",
         "\nA logic error occurred: arg"},
        {Thrown(std::runtime_error("")), "A runtime error occurred: Unknown exception.",
         "\nA runtime error occurred: Unknown exception."},
        {Thrown(-5), "Error code: -5.", "Caught Error while Processing Calculation."},
        {Thrown(0x80004005u), "HRESULT code: 0x80004005.",
         "Caught Error while Processing Calculation."},
        {Thrown(-2147467259L), "HRESULT code: 0x80004005.",
         "Caught Error while Processing Calculation."},
        {Thrown("plain text"), "plain text", "Caught Error while Processing Calculation."},
        {Thrown(2.5), "An unknown exception has occurred.",
         "Caught Error while Processing Calculation."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(MvExceptionText(row.error), row.common);
        EXPECT_EQ(MvRunExceptionText(row.error), row.run);
    }
}

}  // namespace
