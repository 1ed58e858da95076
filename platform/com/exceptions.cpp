// The shared exception types: their key functions live here so that every
// library sees one type_info for each.
#include "exceptions.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sys.h"

CException::~CException() = default;

BOOL CException::GetErrorMessage(LPSTR lpszError, UINT nMaxError, UINT* pnHelpContext) const {
    if (pnHelpContext) *pnHelpContext = 0;
    if (!lpszError || nMaxError == 0) return FALSE;
    std::string text;
    try {
        text = Message();
    } catch (...) {
        text.clear();
    }
    size_t n = std::min<size_t>(text.size(), nMaxError - 1);
    std::memcpy(lpszError, text.data(), n);
    lpszError[n] = '\0';
    return text.empty() ? FALSE : TRUE;
}

COleDispatchException::COleDispatchException(const mv::DispatchException& failure)
    : mv::DispatchException(failure), m_scError(failure.code()) {}

COleDispatchException::COleDispatchException(HRESULT code, std::u16string description,
                                             std::u16string source)
    : mv::DispatchException(code, std::move(description), std::move(source)), m_scError(code) {}

std::string COleDispatchException::Message() const {
    if (!description().empty()) return mv::ToUtf8(description());
    char buffer[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(m_scError), 0, buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    if (text.empty()) {
        char code[32];
        std::snprintf(code, sizeof code, "Unknown error 0x%08X", static_cast<unsigned>(m_scError));
        return code;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

accessviolation_exception::~accessviolation_exception() = default;
divisionbyzero_exception::~divisionbyzero_exception() = default;
