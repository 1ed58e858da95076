// The module's entry point, its four exports and the class objects they
// hand out.
#pragma once

#include <string>

#include "com.h"
#include "sys.h"

// Makes a plain or aggregated instance of one class, as
// IClassFactory::CreateInstance does (mv::CreateComObject<T> fits).
using MvCreateInstanceFn = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

// Gives a class of the class table the function that makes its instances.
// Until a class has one, DllGetClassObject answers CLASS_E_CLASSNOTAVAILABLE
// for it. E_INVALIDARG for a class the module does not serve.
HRESULT MvRegisterClassFactory(REFCLSID clsid, MvCreateInstanceFn create);

// Registers the instance makers of every class built so far (start-up); the
// list is at the top of the module (module/module_classes.cpp), which knows
// every class.
void MvAddModuleClassFactories();

// The COM module: start-up registers the class factories; shut-down
// releases the cached class objects and unregisters nothing.
void MvComModuleInit();
void MvComModuleTerm();

// The module's instance as the loader gave it to DllMain (null when the
// module's code is linked into a program).
HINSTANCE MvModuleInstance();
void MvSetModuleInstance(HINSTANCE instance);
// The full path of the file that holds the module's code.
std::string MvModuleFilePath();

extern "C" {
#define MV_MODULE_EXPORT [[gnu::visibility("default")]]
// DLL_PROCESS_ATTACH runs the application's start-up once,
// DLL_PROCESS_DETACH its shut-down once.
MV_MODULE_EXPORT BOOL DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
// S_OK when no object of the module is alive and no client locks it.
MV_MODULE_EXPORT HRESULT DllCanUnloadNow();
// The class object of a class of the table, created on first request and
// kept until shut-down.
MV_MODULE_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
MV_MODULE_EXPORT HRESULT DllRegisterServer();
MV_MODULE_EXPORT HRESULT DllUnregisterServer();
}
