// One text for a caught exception, in the forms the module's guarded steps
// use. Call inside a catch block or with std::current_exception().
#pragma once

#include <exception>
#include <string>

// The common form: a framework exception's own message (at most `limit` - 1
// characters), "A logic error occurred: %s", "A runtime error occurred: %s."
// (with "Unknown exception" when there is no message), a thrown signed
// 32-bit code "Error code: %d.", an unsigned 32-bit code or a C++ long
// "HRESULT code: 0x%X." of its 32 bits, a C string the string itself, and
// "An unknown exception has occurred." for anything else.
std::string MvExceptionText(std::exception_ptr error, std::size_t limit = 256);

// The run driver's form, appended to a run's error text: "\n" and a
// framework exception's message (at most 1022 characters), "\nA logic error
// occurred: %s", "\nA runtime error occurred: %s.", and "Caught Error while
// Processing Calculation." for anything else.
std::string MvRunExceptionText(std::exception_ptr error);
