// System message texts for HRESULTs and Win32 error codes, and the
// FormatMessageA subset that serves them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sys.h"
#include "sys/last_error_guard.h"

namespace {

struct MessageEntry {
    DWORD code;
    const char* text;  // without the closing CR LF
};

// Win32 error codes, looked up also for FACILITY_WIN32 HRESULTs.
constexpr MessageEntry kWin32Messages[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough storage is available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough storage is available to complete this operation."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {111, "The file name is too long."},
    {112, "There is not enough space on the disk."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {1008, "An attempt was made to reference a token that does not exist."},
    {1009, "The configuration registry database is corrupt."},
    {1010, "The configuration registry key is invalid."},
    {1011, "The configuration registry key could not be opened."},
    {1012, "The configuration registry key could not be read."},
    {1013, "The configuration registry key could not be written."},
    {1332, "No mapping between account names and security IDs was done."},
    {1460, "This operation returned because the timeout period expired."},
};

// HRESULTs of the other facilities.
constexpr MessageEntry kHresultMessages[] = {
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x8000000A, "The data necessary to complete this operation is not yet available."},
    {0x80020001, "Unknown interface."},
    {0x80020003, "Member not found."},
    {0x80020004, "Parameter not found."},
    {0x80020005, "Type mismatch."},
    {0x80020006, "Unknown name."},
    {0x80020007, "No named arguments."},
    {0x80020008, "Bad variable type."},
    {0x80020009, "Exception occurred."},
    {0x8002000A, "Out of present range."},
    {0x8002000B, "Invalid index."},
    {0x8002000C, "Unknown language."},
    {0x8002000D, "Memory is locked."},
    {0x8002000E, "Invalid number of parameters."},
    {0x8002000F, "Parameter not optional."},
    {0x80020010, "Invalid callee."},
    {0x80020011, "Does not support a collection."},
    {0x80020012, "Division by zero."},
    {0x8002802B, "Element not found."},
    {0x80040110, "Class does not support aggregation (or class object is remote)"},
    {0x80040111, "ClassFactory cannot supply requested class"},
    {0x80040154, "Class not registered"},
    {0x800401F0, "CoInitialize has not been called."},
    {0x800401F3, "Invalid class string"},
    {0x80030002, "%1 could not be found."},
    {0x80030003, "The path %1 could not be found."},
};

const char* FindText(DWORD code) {
    const HRESULT hr = static_cast<HRESULT>(code);
    const bool win32 =
        (code & 0xFFFF0000u) == 0 || (FAILED(hr) && HRESULT_FACILITY(hr) == FACILITY_WIN32);
    if (win32) {
        const DWORD plain = code & 0xFFFFu;
        for (const MessageEntry& e : kWin32Messages) {
            if (e.code == plain) return e.text;
        }
        return nullptr;
    }
    for (const MessageEntry& e : kHresultMessages) {
        if (e.code == code) return e.text;
    }
    return nullptr;
}

// Replaces %1..%99 by narrow-string arguments. False when an insert has no
// argument to take.
bool ExpandInserts(const std::string& text, va_list* arguments, std::string* out) {
    std::vector<const char*> values;
    if (arguments) {
        // Inserts count from 1; fetch as many as the text asks for.
        int highest = 0;
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == '%' && text[i + 1] >= '1' && text[i + 1] <= '9') {
                int n = text[i + 1] - '0';
                if (i + 2 < text.size() && text[i + 2] >= '0' && text[i + 2] <= '9') {
                    n = n * 10 + (text[i + 2] - '0');
                }
                highest = std::max(highest, n);
            }
        }
        va_list copy;
        va_copy(copy, *arguments);
        for (int k = 0; k < highest; ++k) values.push_back(va_arg(copy, const char*));
        va_end(copy);
    }
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            *out += text[i];
            continue;
        }
        const char next = text[i + 1];
        if (next >= '1' && next <= '9') {
            size_t n = static_cast<size_t>(next - '0');
            ++i;
            if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
                n = n * 10 + static_cast<size_t>(text[++i] - '0');
            }
            if (n > values.size()) return false;
            if (values[n - 1]) *out += values[n - 1];
        } else {
            *out += next == '%' ? '%' : next;
            ++i;
        }
    }
    return true;
}

}  // namespace

namespace mv {

std::string SystemMessageText(DWORD code) {
    const char* text = FindText(code);
    return text ? std::string(text) + "\r\n" : std::string();
}

}  // namespace mv

extern "C" {

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size,
                     va_list* arguments) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || (flags & FORMAT_MESSAGE_FROM_STRING) ||
        (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return mv::CallGuardedLastError(DWORD(0), [&]() -> DWORD {
        const std::string raw = mv::SystemMessageText(messageId);
        if (raw.empty()) {
            SetLastError(ERROR_MR_MID_NOT_FOUND);
            return 0;
        }
        std::string text;
        if (flags & FORMAT_MESSAGE_IGNORE_INSERTS) {
            text = raw;
        } else if (!ExpandInserts(raw, arguments, &text)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return 0;
        }
        if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
            const size_t bytes = std::max<size_t>(text.size() + 1, size);
            char* allocated = static_cast<char*>(std::malloc(bytes));
            if (!allocated) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            std::memcpy(allocated, text.c_str(), text.size() + 1);
            *reinterpret_cast<LPSTR*>(buffer) = allocated;
            return static_cast<DWORD>(text.size());
        }
        if (text.size() + 1 > size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    });
}

HLOCAL LocalFree(HLOCAL memory) {
    std::free(memory);
    return nullptr;
}

}  // extern "C"
