// Reading and writing keys under HKEY_CLASSES_ROOT in the registration tests.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>

#include "sys.h"

namespace regtest {

// Creates a key, with a default text value when one is given.
inline void CreateKey(const std::string& path, const char* value = nullptr) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (value) {
        ASSERT_EQ(RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                                 static_cast<DWORD>(std::strlen(value) + 1)),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

inline bool KeyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// A REG_SZ value of a key (null name: the default).
inline std::optional<std::string> Text(const std::string& path, const char* name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    char data[4096];
    DWORD size = sizeof data;
    DWORD type = 0;
    LONG err = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
    return std::string(data, size > 0 && data[size - 1] == '\0' ? size - 1 : size);
}

}  // namespace regtest
