// Operating-system services: registry store, module loading, threads and
// synchronisation, identity, folders, processes, system message texts.
#pragma once

#include "base.h"

using HANDLE = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using FARPROC = void (*)();
inline const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD DLL_PROCESS_DETACH = 0;
constexpr DWORD DLL_PROCESS_ATTACH = 1;
constexpr DWORD DLL_THREAD_ATTACH = 2;
constexpr DWORD DLL_THREAD_DETACH = 3;
constexpr DWORD MAX_PATH = 260;

// Each area of the system services keeps its declarations in its own header.
#include "sys_registry.h"  // registry store
#include "sys_loader.h"    // LoadLibrary, GetProcAddress, FreeLibrary, GetModuleFileName
#include "sys_thread.h"    // critical sections, events, TLS, ticks, threads
#include "sys_env.h"       // identity, folders, processes, messages, debug output
