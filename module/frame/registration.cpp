#include "frame/registration.h"

#include <cstdio>

#include "interfaces/MvMorvaCalc_ids.h"
#include "interfaces/class_table.h"
#include "sys.h"

namespace {

HRESULT FromWin32(LONG err) {
    return HRESULT_FROM_WIN32(static_cast<uint32_t>(err));
}

// Deletes a key with everything below it; a key that does not exist is
// already deleted.
LONG DeleteTreeIfPresent(HKEY root, const std::string& path) {
    LONG err = RegDeleteTreeA(root, path.c_str());
    return err == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : err;
}

LONG SetString(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

// Creates the key (anew, for a ForceRemove key) and writes its values.
LONG WriteKey(HKEY root, const std::string& path, bool hasDefault, const std::string& def,
              const std::vector<std::pair<std::string, std::string>>& values, bool forceRemove) {
    if (forceRemove) {
        if (LONG err = DeleteTreeIfPresent(root, path); err != ERROR_SUCCESS) return err;
    }
    HKEY key = nullptr;
    LONG err = RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                               nullptr, &key, nullptr);
    if (err != ERROR_SUCCESS) return err;
    if (hasDefault) err = SetString(key, nullptr, def);
    for (const auto& [name, value] : values) {
        if (err != ERROR_SUCCESS) break;
        err = SetString(key, name.c_str(), value);
    }
    RegCloseKey(key);
    return err;
}

std::string TypeLibKey() {
    return "TypeLib\\" + mv::GuidToString(LIBID_MvMorvaCalc);
}

std::string TypeLibVersionKey() {
    char version[32];
    std::snprintf(version, sizeof version, "%u.%u", unsigned{kMvTypeLibMajorVersion},
                  unsigned{kMvTypeLibMinorVersion});
    return TypeLibKey() + "\\" + version;
}

bool HasSubkeys(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    char name[256];
    DWORD size = sizeof name;
    bool any =
        RegEnumKeyExA(key, 0, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return any;
}

// Runs `apply` as one batch of the registry store, so that the whole
// (un)registration reaches the store file in one replacement. The first
// failure of `apply`, else the failure to write the file.
template <class Apply>
HRESULT InOneBatch(Apply&& apply) {
    HRESULT hr = S_OK;
    const LONG written = mv::RegistryBatch([&] { hr = apply(); });
    if (SUCCEEDED(hr) && written != ERROR_SUCCESS) hr = FromWin32(written);
    return hr;
}

HRESULT RegisterClassesNow(std::string_view modulePath) {
    for (const MvClassInfo& info : MvClassTable()) {
        for (const MvScriptKey& k : MvRegistryScript(info, modulePath)) {
            LONG err = WriteKey(HKEY_CLASSES_ROOT, k.path, k.hasDefault, k.defaultValue, k.values,
                                k.mode == MvScriptKeyMode::ForceRemove);
            if (err != ERROR_SUCCESS) return FromWin32(err);
        }
    }
    return MvRegisterTypeLib(modulePath);
}

HRESULT UnregisterClassesNow() {
    for (const MvClassInfo& info : MvClassTable()) {
        // Subkeys first, so that a failure leaves the parents in place.
        auto keys = MvRegistryScript(info, {});
        for (auto k = keys.rbegin(); k != keys.rend(); ++k) {
            if (k->mode == MvScriptKeyMode::NoRemove) continue;
            LONG err = DeleteTreeIfPresent(HKEY_CLASSES_ROOT, k->path);
            if (err != ERROR_SUCCESS) return FromWin32(err);
        }
    }
    return MvUnregisterTypeLib();
}

}  // namespace

HRESULT MvRegisterClasses(std::string_view modulePath) {
    return InOneBatch([&] { return RegisterClassesNow(modulePath); });
}

HRESULT MvUnregisterClasses() {
    return InOneBatch([] { return UnregisterClassesNow(); });
}

HRESULT MvRegisterTypeLib(std::string_view modulePath) {
    const std::string file(modulePath);
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : file.substr(0, slash);
    char lcid[16];
    std::snprintf(lcid, sizeof lcid, "%x", static_cast<unsigned>(kMvTypeLibLcid));
    const std::string version = TypeLibVersionKey();

    struct Entry {
        std::string path;
        std::string value;
    };
    const Entry entries[] = {
        {version, kMvTypeLibHelpString},
        {version + "\\" + lcid + "\\win32", file},
        {version + "\\FLAGS", "0"},
        {version + "\\HELPDIR", folder},
    };
    for (const Entry& e : entries) {
        LONG err = WriteKey(HKEY_CLASSES_ROOT, e.path, true, e.value, {}, false);
        if (err != ERROR_SUCCESS) return FromWin32(err);
    }
    return S_OK;
}

HRESULT MvUnregisterTypeLib() {
    if (LONG err = DeleteTreeIfPresent(HKEY_CLASSES_ROOT, TypeLibVersionKey());
        err != ERROR_SUCCESS)
        return FromWin32(err);
    if (!HasSubkeys(HKEY_CLASSES_ROOT, TypeLibKey())) {
        if (LONG err = DeleteTreeIfPresent(HKEY_CLASSES_ROOT, TypeLibKey()); err != ERROR_SUCCESS)
            return FromWin32(err);
    }
    return S_OK;
}
