#pragma once

// Included from sys.h; include that instead.
//
// Registry store. The keys live in one text file in the layout of a registry
// export:
//
//   Windows Registry Editor Version 5.00
//   <blank line>
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Classes\Some.ProgID]
//   @="default value"
//   "Name"="text with \\ and \" escaped"
//   "Count"=dword:0000000a
//   "Path"=hex(2):25,00,41,00,00,00      (REG_EXPAND_SZ, UTF-16LE bytes)
//   "Blob"=hex:01,02,03                  (REG_BINARY)
//   "Other"=hex(N):..                    (any other type N, and strings that
//                                         the quoted form cannot carry)
//
// The file is UTF-8 (an optional UTF-8 byte-order mark is accepted), lines
// end in CR LF when written and in LF or CR LF when read, long hex values may
// continue on the next line after a trailing backslash, and lines starting
// with ';' are comments. String values are held as UTF-16LE bytes, as on the
// original platform; the narrow "A" functions convert to and from UTF-8.
//
// Roots: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER are sections of the file;
// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes (a section written
// as [HKEY_CLASSES_ROOT\..] is read into that place). Key and value names
// compare ignoring ASCII case and keep the case they were written with. A
// key lies at most 512 levels below its root (HKEY_CLASSES_ROOT counts as two
// levels below HKEY_LOCAL_MACHINE): a section that names a deeper key is a
// line that does not parse, and RegCreateKeyEx of one fails with
// ERROR_INVALID_PARAMETER.
//
// Location: MORVA_REGISTRY, else <common app data>/Morva/registry.reg, where
// the common application-data folder is MORVA_COMMON_APPDATA, else
// /var/tmp/morva-common-appdata.
//
// Every write takes an exclusive flock on "<file>.lock", reads the file again,
// applies the change, writes "<file>.tmp.<pid>.<n>" beside it and renames it
// over the file; concurrent writers in several processes lose nothing. A
// write that runs out of memory fails with ERROR_NOT_ENOUGH_MEMORY, changes
// nothing, and leaves neither the lock nor a temporary file behind. A file
// with a line that does not parse is corrupt: reads see an empty store, every
// write fails with ERROR_BADDB and leaves the file untouched, and a diagnostic
// line is reported once (per process and store location).

#include <functional>
#include <string>
#include <string_view>

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_OPTION_VOLATILE = 1;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

extern "C" {
LONG RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                   PHKEY phkResult);
LONG RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD Reserved, LPSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
LONG RegCloseKey(HKEY hKey);
LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                      LPBYTE lpData, LPDWORD lpcbData);
LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                    const BYTE* lpData, DWORD cbData);
LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes a key that has no subkeys (ERROR_ACCESS_DENIED otherwise).
LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes the subkey and everything below it; a null or empty subkey clears
// the subkeys and values of hKey itself.
LONG RegDeleteTreeA(HKEY hKey, LPCSTR lpSubKey);
LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);
// Subkeys enumerate in name order (ignoring case), values in the order they
// were first written.
LONG RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, FILETIME* lpftLastWriteTime);
LONG RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
LONG RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                   LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
}  // extern "C"

// The plain names are the narrow forms, as in a build without UNICODE.
#define RegOpenKeyEx RegOpenKeyExA
#define RegCreateKeyEx RegCreateKeyExA
#define RegQueryValueEx RegQueryValueExA
#define RegSetValueEx RegSetValueExA
#define RegDeleteValue RegDeleteValueA
#define RegDeleteKey RegDeleteKeyA
#define RegDeleteTree RegDeleteTreeA
#define RegEnumKeyEx RegEnumKeyExA
#define RegEnumValue RegEnumValueA

namespace mv {

// The file the store uses now (the environment's choice unless overridden).
std::string RegistryPath();
// A number that moves on whenever what the store holds may have changed: a
// change by this process, a switch to another store, or a change of the
// file by another program. Lets a caller keep what it read from the store
// while the number stays the same. Asks the kernel nothing while nothing
// changed: a thread of the store blocks on the file's watch and counts what
// it hears, so another program's change moves the number as soon as that
// thread has run (a scheduling delay after the change).
uint64_t RegistryVersion();
// Points the store at another file from now on; an empty path returns to the
// environment's choice. Leaves the in-memory mode.
void RegistryUseFile(const std::string& path);
// In-memory mode (tests): true starts an empty store that lives in this
// process only; false returns to the file.
void RegistryUseMemoryStore(bool on);
// Runs `work` as one change of the store file: the file is locked against
// other processes from start to end, read once, and written once at the end
// (temporary file, then rename) when anything changed, so other processes
// see all of the work or none of it. The calls `work` makes see their own
// changes and return their own errors; other threads of this process wait
// until the batch ends, so `work` must not wait for one that uses the store.
// A batch inside a batch joins it. Returns the status of the final write
// (ERROR_CANTWRITE when the file could not be replaced), else ERROR_SUCCESS.
// A batch that runs out of memory at its start runs nothing, and at its
// final write writes nothing; either returns ERROR_NOT_ENOUGH_MEMORY. An
// exception from `work` ends the batch, writing what was done, and goes on.
// The lock is released on every way out.
LONG RegistryBatch(const std::function<void()>& work);
// Receives each diagnostic line of the store instead of standard error; an
// empty function restores standard error.
void RegistrySetDiagnosticHook(std::function<void(std::string_view)> hook);

}  // namespace mv
