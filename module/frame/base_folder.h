// The base folder under which the product keeps its definitions (Calc, Lib
// and bin below it), resolved once at start-up into g_BaseFolder.
#pragma once

#include "frame/owned_string.h"

// Empty until start-up; afterwards only read. Kept as found: a registry or
// environment value is taken unchanged, with or without a trailing "/".
extern CharString g_BaseFolder;

// Empties `folder`, then fills it from the first source that gives a text:
// the "Shared Path" registry value (an empty value included, which then
// falls to the last source), the environment variable MORVA_CALC_BASE, and
// finally <common app data>/Morva/Morva Calc.
void GetBaseFolder(CharString& folder);

// The registry key of "Shared Path" under HKEY_LOCAL_MACHINE:
// "SOFTWARE\Wow6432Node\Morva\Morva Calc".
const char* GetBaseFolderRegistryKey();

// Reads "Shared Path" (REG_SZ or REG_EXPAND_SZ, taken unexpanded, at most 259
// bytes and a terminator). True when it was read, even empty, and then
// `value` holds it; false otherwise, `value` untouched.
bool ReadSharedPathValue(CharString& value);
