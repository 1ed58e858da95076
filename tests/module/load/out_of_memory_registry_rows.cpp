// The out-of-memory sweep's rows for the registry store's writes and
// batches, made as the module makes them: a write cut short answers with a
// failure code and changes nothing, a success is written, and either leaves
// the store's lock free and no batch engaged, so that the next write, of
// this process or another, is done.
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "../../support/bounded_run.h"
#include "../../support/registry_probe.h"
#include "module_load_test_support.h"
#include "out_of_memory_sweep.h"
#include "sys.h"

namespace oomtest {
namespace {

constexpr const char16_t* kKey = u"SOFTWARE\\Morva\\Sweep";

// The value `name` of the sweep's key; 0 when there is none.
DWORD SweepValue(const char16_t* name) {
    HKEY key = nullptr;
    DWORD value = 0, size = sizeof value;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return 0;
    RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return value;
}

LONG WriteSweepValue(const char16_t* name, DWORD value) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr);
    if (rc == ERROR_SUCCESS)
        rc = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                            sizeof value);
    RegCloseKey(key);
    return rc;
}

// Closes what this process still holds of the store's lock file, so that a
// lock left behind fails one point of the sweep rather than hanging the next.
void ReleaseLeftLocks(const std::string& store) {
    const std::filesystem::path lockFile = store + ".lock";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        if (std::filesystem::read_symlink(entry.path(), ec) != lockFile) continue;
        const int fd = std::stoi(entry.path().filename().string());
        ::flock(fd, LOCK_UN);
        ::close(fd);
    }
}

// A row whose call `write`s a new value each run in the window: the store's
// lock is then free; from another thread, which must finish within a limit
// (a batch left engaged would make it wait for ever), the value is the new
// one exactly when the call succeeded, and the next write is done.
Scenario WriteRow(std::string name, std::function<LONG(DWORD)> write) {
    const std::string store = mv::RegistryPath();
    auto runs = std::make_shared<DWORD>(0);
    return {std::move(name), [=]() -> std::string {
                const DWORD before = SweepValue(u"Value");
                const DWORD value = ++*runs;
                const HRESULT hr =
                    InWindow([&] { return HRESULT_FROM_WIN32(static_cast<DWORD>(write(value))); });
                if (auto e = Answered(hr); !e.empty()) return e;
                if (!mv::test::RegistryLockIsFree(store)) {
                    ReleaseLeftLocks(store);
                    return "the store's lock is left held";
                }
                DWORD seen = 0;
                LONG next = ERROR_SUCCESS;
                mv::test::WithinLimit(std::chrono::seconds(10), [&] {
                    seen = SweepValue(u"Value");
                    next = WriteSweepValue(u"Next", value);
                });
                if (seen != (SUCCEEDED(hr) ? value : before))
                    return SUCCEEDED(hr) ? "a success not written" : "a failure written";
                return next == ERROR_SUCCESS ? "" : "the next write fails";
            }};
}

// The module's registration: one cut short is a failure code, and the next
// one registers the classes again.
Scenario RegistrationRow() {
    return {"module registration", []() -> std::string {
                HMODULE module = LoadLibraryA(loadtest::ModulePath().c_str());
                auto registration =
                    loadtest::Export<loadtest::HResultFn>(module, "DllRegisterServer");
                std::string broken = Answered(InWindow([&] { return registration(); }));
                if (broken.empty() && (registration() != S_OK || !New(u"Morva.Calc.Calculation")))
                    broken = "the next registration fails";
                FreeLibrary(module);
                return broken;
            }};
}

}  // namespace

std::vector<Scenario> RegistryScenarios(const SweepContext&) {
    return {
        WriteRow("registry write", [](DWORD value) { return WriteSweepValue(u"Value", value); }),
        WriteRow("registry batch",
                 [](DWORD value) {
                     LONG written = ERROR_SUCCESS;
                     const LONG rc =
                         mv::RegistryBatch([&] { written = WriteSweepValue(u"Value", value); });
                     return rc != ERROR_SUCCESS ? rc : written;
                 }),
        RegistrationRow(),
    };
}

}  // namespace oomtest
