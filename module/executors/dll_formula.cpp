// The DLL formula: a function that a formula library exports, found once per
// calculation object and called with the calculation's own interface. The
// contract a library meets is in interfaces/MvFormulaDll.h.
#include <cstdio>
#include <new>
#include <stdexcept>

#include "calculation/calculation.h"
#include "exceptions.h"
#include "frame/calc_variant.h"
#include "frame/exception_text.h"
#include "frame/loaded_dlls.h"
#include "frame/trace.h"
#include "interfaces/MvFormulaDll.h"

namespace {

std::string Formatted(const char* format, auto value) {
    char text[96];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The error text of what a formula function threw.
std::string DllExceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CException&) {
        return MvExceptionText(error, 256);
    } catch (const std::logic_error&) {
        return MvExceptionText(error);
    } catch (const std::runtime_error&) {
        return MvExceptionText(error);
    } catch (long code) {
        return Formatted("An exception 0x%X has occurred in the DLL", static_cast<ULONG>(code));
    } catch (ULONG code) {
        return Formatted("An exception 0x%X has occurred in the DLL", code);
    } catch (int code) {
        return Formatted("An Error Code %d has occurred in the DLL", code);
    } catch (const char* text) {
        return text ? text : "";
    } catch (...) {
        return "An unknown exception has occurred in the DLL";
    }
}

}  // namespace

void* CMvCalculation::DllFunction() {
    mv::ObjectLock lock(this);
    return m_DllFunction;
}

bool CMvCalculation::LookupDllFunction() {
    static constexpr const char* kName = "CMvCalculation::LookupDllFunction";
    MvStepFrame step(kName);
    try {
        std::string library;
        std::string function;
        {
            mv::ObjectLock lock(this);
            library = m_DllName;
            function = m_FunctionName;
        }
        if (HMODULE module = CalcLoadLibrary(library.c_str())) {
            void* address = reinterpret_cast<void*>(GetProcAddress(module, function.c_str()));
            mv::ObjectLock lock(this);
            // Names set meanwhile have forgotten the function: keep it only
            // for the names it was found under.
            if (m_DllName == library && m_FunctionName == function) m_DllFunction = address;
        }
        return DllFunction() != nullptr;
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
        return false;
    }
}

// The returned value is stored whether the call succeeded or not: after a
// failure it is empty, so "ReturnValue" is emptied too.
void CMvCalculation::CallDllFunction() {
    static constexpr const char* kName = "CMvCalculation::CallDllFunction";
    MvStepFrame step(kName);
    try {
        std::string error;
        mv::Variant result;
        void* address = DllFunction();
        if (!address && LookupDllFunction()) address = DllFunction();
        if (!address) {
            error = "Dll Function Not Found.";
        } else {
            // The calculation as its clients know it: the caller's reference
            // keeps it alive, so an object of its own needs no other.
            mv::ComPtr<IMvCalculation> outer;
            IMvCalculation* self = static_cast<IMvCalculation*>(this);
            if (OuterUnknown()) {
                OuterUnknown()->QueryInterface(IID_IMvCalculation, outer.PutVoid());
                self = outer.get();
            }
            try {
                reinterpret_cast<MvFormulaFunction>(address)(self, &result);
            } catch (...) {
                error = DllExceptionText(std::current_exception());
                result.Clear();
            }
        }
        if (!error.empty()) SetError(error);
        mv::ComPtr<IMvParameter> returnValue;
        {
            mv::ObjectLock lock(this);
            returnValue = m_ReturnValueParameter;
        }
        // A result that could not be stored for lack of memory would leave
        // the value of before: the run fails.
        if (returnValue) MvThrowIfOutOfMemory(returnValue->put_Value(result));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
    }
}
