// Writing and removing the module's classes and type library in the
// registry store.
#pragma once

#include <string>
#include <string_view>

#include "base.h"

// The registry scripts of every class, in registration order, with the
// module's file as the server path; then the type library. Stops at the
// first failure and returns it.
HRESULT MvRegisterClasses(std::string_view modulePath);
// The same scripts in removal mode, then the type library. The shared
// "CLSID" key stays. A key that is already gone is not a failure.
HRESULT MvUnregisterClasses();

// The type library's keys under HKEY_CLASSES_ROOT\TypeLib: the version key
// with the library's help string, the file for its locale and platform
// ("409\win32"), FLAGS and HELPDIR (the file's folder).
HRESULT MvRegisterTypeLib(std::string_view modulePath);
// Removes the version key, and the library's key when no version is left.
HRESULT MvUnregisterTypeLib();
