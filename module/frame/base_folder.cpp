// Resolution of the base folder.
#include "frame/base_folder.h"

#include <cstdlib>
#include <string>

#include "sys.h"

CharString g_BaseFolder;

namespace {

constexpr DWORD kSharedPathBufferSize = 260;

}  // namespace

const char* GetBaseFolderRegistryKey() {
    return "SOFTWARE\\Wow6432Node\\Morva\\Morva Calc";
}

bool ReadSharedPathValue(CharString& value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, GetBaseFolderRegistryKey(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return false;
    char buffer[kSharedPathBufferSize] = {};
    DWORD type = 0;
    DWORD size = sizeof buffer;
    const LONG status = RegQueryValueExA(key, "Shared Path", nullptr, &type,
                                         reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    if (size == 0 || size > sizeof buffer || buffer[size - 1] != '\0') return false;
    value.Assign(buffer);
    return true;
}

void GetBaseFolder(CharString& folder) {
    folder.Free();
    if (!ReadSharedPathValue(folder)) {
        if (const char* base = std::getenv("MORVA_CALC_BASE")) folder.Assign(base);
    }
    if (!folder.IsEmpty()) return;
    // The fallback: the common application-data folder as it is now, not
    // created here. When there is none the base folder stays empty.
    const std::string common = mv::CommonAppDataFolder(false);
    if (common.empty()) return;
    folder.Assign(mv::JoinPath(mv::JoinPath(common, "Morva"), "Morva Calc").c_str());
}
