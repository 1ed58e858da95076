// BSTR allocation.
#include "oleaut.h"

extern "C" {
BSTR SysAllocString(const OLECHAR*) {
    return nullptr;
}
BSTR SysAllocStringLen(const OLECHAR*, UINT) {
    return nullptr;
}
BSTR SysAllocStringByteLen(LPCSTR, UINT) {
    return nullptr;
}
INT SysReAllocString(BSTR*, const OLECHAR*) {
    return FALSE;
}
INT SysReAllocStringLen(BSTR*, const OLECHAR*, UINT) {
    return FALSE;
}
void SysFreeString(BSTR) {}
UINT SysStringLen(BSTR) {
    return 0;
}
UINT SysStringByteLen(BSTR) {
    return 0;
}
}

namespace mv {
Bstr::Bstr(std::string_view) {}
}  // namespace mv
