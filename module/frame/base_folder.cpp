// Resolution of the base folder.
#include "frame/base_folder.h"

CharString g_BaseFolder;

void GetBaseFolder(CharString& folder) {
    folder.Free();
}

const char* GetBaseFolderRegistryKey() {
    return "SOFTWARE\\Wow6432Node\\Morva\\Morva Calc";
}

bool ReadSharedPathValue(CharString&) {
    return false;
}
