#pragma once

// Included from sys.h; include that instead.
//
// Library loading.
//
// Where a name is looked for:
//   - A name with "/" is a path and is opened as it is.
//   - A name that ends in ".dll" (any letter case), e.g. "keldcore.dll":
//       1. each folder of the colon-separated MORVA_DLL_PATH, in order, for a
//          file of that name and then for "lib<stem>.so" ("libkeldcore.so"),
//          matching file names ignoring ASCII case, as Windows does;
//       2. dlopen of the name as it is, then of "lib<stem>.so", both through
//          the system's usual search (LD_LIBRARY_PATH, run paths, the cache).
//   - Any other name goes to dlopen as it is.
//
// Every library loaded here (by LoadLibrary or by class activation) has one
// handle and a load count. A library that exports
// `BOOL DllMain(HINSTANCE, DWORD, LPVOID)` gets DLL_PROCESS_ATTACH right after
// its first load and DLL_PROCESS_DETACH right before its last dlclose; a
// library still loaded when the process ends gets its detach from an atexit
// handler registered right after its attach, so that the detach runs before
// the library's static objects are destroyed. A DllMain that answers FALSE
// to the attach fails the load (ERROR_DLL_INIT_FAILED) and the library is
// closed again.
//
// Errors (GetLastError): ERROR_MOD_NOT_FOUND when no file loads,
// ERROR_PROC_NOT_FOUND for a missing export, ERROR_DLL_INIT_FAILED.

#include <string>

constexpr LONG ERROR_DLL_INIT_FAILED = 1114;

extern "C" {
HMODULE LoadLibraryA(LPCSTR lpLibFileName);
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);
// A null module is the host executable (/proc/self/exe). Copies at most
// nSize - 1 characters and a terminator; answers the length copied, nSize
// with ERROR_INSUFFICIENT_BUFFER when the name was cut, 0 on failure.
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
// Per-thread last error.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
}  // extern "C"

#define LoadLibrary LoadLibraryA
#define GetModuleFileName GetModuleFileNameA

namespace mv {

// The file of the library (or executable) that contains the address; empty
// when no loaded object contains it.
std::string ModuleFileOfAddress(const void* address);
// Why the calling thread's last failed load failed (the dynamic linker's
// text), for diagnostics.
std::string LoaderErrorText();

}  // namespace mv
