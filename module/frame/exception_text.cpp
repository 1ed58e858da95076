#include "frame/exception_text.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "exceptions.h"

namespace {

std::string Message(const CException& e, std::size_t limit) {
    std::vector<char> buffer(limit, '\0');
    e.GetErrorMessage(buffer.data(), static_cast<UINT>(limit));
    return buffer.data();
}

std::string WhatOf(const std::exception& e) {
    const char* what = e.what();
    return what && *what ? what : "Unknown exception";
}

std::string Code(const char* format, unsigned value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string MvExceptionText(std::exception_ptr error, std::size_t limit) {
    try {
        std::rethrow_exception(error);
    } catch (const CException& e) {
        return Message(e, limit);
    } catch (const std::logic_error& e) {
        return "A logic error occurred: " + WhatOf(e);
    } catch (const std::runtime_error& e) {
        return "A runtime error occurred: " + WhatOf(e) + ".";
    } catch (int code) {
        char text[64];
        std::snprintf(text, sizeof text, "Error code: %d.", code);
        return text;
    } catch (unsigned code) {
        return Code("HRESULT code: 0x%X.", code);
    } catch (long code) {
        return Code("HRESULT code: 0x%X.", static_cast<unsigned>(code));
    } catch (const char* text) {
        return text ? text : "";
    } catch (...) {
        return "An unknown exception has occurred.";
    }
}

std::string MvRunExceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CException& e) {
        return "\n" + Message(e, 1023);
    } catch (const std::logic_error& e) {
        return "\nA logic error occurred: " + WhatOf(e);
    } catch (const std::runtime_error& e) {
        return "\nA runtime error occurred: " + WhatOf(e) + ".";
    } catch (...) {
        return "Caught Error while Processing Calculation.";
    }
}
