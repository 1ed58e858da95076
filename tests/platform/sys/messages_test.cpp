#include <gtest/gtest.h>

#include "sys.h"

namespace {

TEST(SystemMessageText, KnowsTheCodesTheModuleReports) {
    const struct {
        DWORD code;
        const char* text;
    } cases[] = {
        {0x80004005, "Unspecified error\r\n"},
        {0x8007000E, "Not enough storage is available to complete this operation.\r\n"},
        {0x80070057, "The parameter is incorrect.\r\n"},
        {0x8000FFFF, "Catastrophic failure\r\n"},
        {0x80004001, "Not implemented\r\n"},
        {0x80004002, "No such interface supported\r\n"},
        {0x80004003, "Invalid pointer\r\n"},
        {0x80070005, "Access is denied.\r\n"},
        {0x80020009, "Exception occurred.\r\n"},
        {0x80020003, "Member not found.\r\n"},
        {0x80020006, "Unknown name.\r\n"},
        {0x8002000E, "Invalid number of parameters.\r\n"},
        {0x80040154, "Class not registered\r\n"},
        {0x8002802B, "Element not found.\r\n"},
        {5, "Access is denied.\r\n"},
        {1008, "An attempt was made to reference a token that does not exist.\r\n"},
        {122, "The data area passed to a system call is too small.\r\n"},
        {0, "The operation completed successfully.\r\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(mv::SystemMessageText(c.code), c.text) << std::hex << c.code;
    for (DWORD unknown : {0x80041234u, 0x00000001u + 0x10000u, 0x8007FFFFu, 0xFFFFFFFFu, 99999u}) {
        EXPECT_EQ(mv::SystemMessageText(unknown), "") << std::hex << unknown;
    }
}

TEST(FormatMessage, FillsBuffersAndReportsFailures) {
    char buffer[1024];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80004005, 0, buffer,
                             sizeof buffer, nullptr),
              19u);
    EXPECT_STREQ(buffer, "Unspecified error\r\n");

    struct Failure {
        const char* what;
        DWORD flags;
        DWORD code;
        DWORD size;
        DWORD error;
    };
    const Failure failures[] = {
        {"unknown code", FORMAT_MESSAGE_FROM_SYSTEM, 0x80041234, 1024, ERROR_MR_MID_NOT_FOUND},
        {"short buffer", FORMAT_MESSAGE_FROM_SYSTEM, 0x80004005, 19, ERROR_INSUFFICIENT_BUFFER},
        {"inserts without arguments", FORMAT_MESSAGE_FROM_SYSTEM, 0x80030002, 1024,
         ERROR_INVALID_PARAMETER},
        {"not from the system", FORMAT_MESSAGE_FROM_STRING, 0x80004005, 1024,
         ERROR_INVALID_PARAMETER},
    };
    for (const Failure& f : failures) {
        SetLastError(0);
        EXPECT_EQ(FormatMessageA(f.flags, nullptr, f.code, 0, buffer, f.size, nullptr), 0u)
            << f.what;
        EXPECT_EQ(GetLastError(), f.error) << f.what;
    }

    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             0x80030002, 0, buffer, sizeof buffer, nullptr),
              0u);
    EXPECT_STREQ(buffer, "%1 could not be found.\r\n");
}

DWORD FormatWithArguments(char* buffer, DWORD size, DWORD code, ...) {
    va_list args;
    va_start(args, code);
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, buffer, size, &args);
    va_end(args);
    return n;
}

TEST(FormatMessage, ExpandsInsertsAndAllocates) {
    char buffer[128];
    ASSERT_GT(FormatWithArguments(buffer, sizeof buffer, 0x80030003, "C:/x"), 0u);
    EXPECT_STREQ(buffer, "The path C:/x could not be found.\r\n");

    char* allocated = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, 0x80070057, 0x400, reinterpret_cast<LPSTR>(&allocated), 0, nullptr);
    ASSERT_NE(allocated, nullptr);
    EXPECT_EQ(std::string(allocated, n), "The parameter is incorrect.\r\n");
    EXPECT_EQ(LocalFree(allocated), nullptr);
}

std::string g_debugText;

TEST(DebugOutput, GoesToTheHookWhenOneIsInstalled) {
    mv::SetDebugOutputHookForTesting([](std::string_view text) { g_debugText += text; });
    OutputDebugStringA("Failed to open file: ");
    OutputDebugStringW(u"Access Denied: 13");
    OutputDebugStringA(nullptr);
    mv::SetDebugOutputHookForTesting(nullptr);
    EXPECT_EQ(g_debugText, "Failed to open file: Access Denied: 13");
}

}  // namespace
