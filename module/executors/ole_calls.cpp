// The three passes of the automation-object formula over OleMethods: write
// the input properties, call the methods, read the output properties. Each
// pass handles its entries in collection order, ends at the first failing
// one and leaves its message in the calculation's error text; a pass that
// fails stops the ones after it.
#include <cstdio>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "exceptions.h"
#include "executors/ole_calls.h"
#include "frame/calc_variant.h"
#include "frame/exception_text.h"
#include "frame/trace.h"
#include "sys.h"

namespace {

// Invoke's result when it failed with a code that has no text of its own.
constexpr HRESULT kInvokeFailed = static_cast<HRESULT>(0x800706BF);

template <class Itf>
std::string TextOf(Itf* item, HRESULT (Itf::*get)(BSTR*)) {
    mv::Bstr text;
    (void)(item->*get)(text.Out());
    return text.Utf8();
}

template <class Itf>
LONG NumberOf(Itf* item, HRESULT (Itf::*get)(LONG*), LONG initial = 0) {
    LONG value = initial;
    (void)(item->*get)(&value);
    return value;
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The parameter that a property entry names: E_FAIL with the message when
// the calculation has none of that name, S_FALSE when its direction is not
// one of the pass's `directions`.
HRESULT PropertyParameter(IMvCalculation& calc, IMvCalcOLEMethod* entry,
                          std::initializer_list<LONG> directions, std::string& parameterName,
                          mv::ComPtr<IMvParameter>& parameter, std::string& message) {
    parameterName = TextOf(entry, &IMvCalcOLEMethod::get_ParameterName);
    (void)calc.GetParameter(mv::Bstr(parameterName).get(), parameter.Put());
    if (!parameter) {
        message = "Parameter " + Quoted(parameterName) + " not found for property " +
                  Quoted(TextOf(entry, &IMvCalcOLEMethod::get_Name)) + "\n";
        return E_FAIL;
    }
    const LONG direction = NumberOf(parameter.get(), &IMvParameter::get_ParameterType);
    for (LONG handled : directions)
        if (direction == handled) return S_OK;
    return S_FALSE;
}

std::string InvalidValueType(const std::string& parameter) {
    return "Invalid Value Type for Parameter " + parameter + "\n";
}

std::string SettingProperty(const std::string& parameter) {
    return "Error Setting Object Property " + parameter;
}

// The strings an Invoke may leave in its EXCEPINFO, freed on every road.
struct ExcepInfo : EXCEPINFO {
    ExcepInfo() : EXCEPINFO{} {}
    ~ExcepInfo() {
        SysFreeString(bstrSource);
        SysFreeString(bstrDescription);
        SysFreeString(bstrHelpFile);
    }
    ExcepInfo(const ExcepInfo&) = delete;
    ExcepInfo& operator=(const ExcepInfo&) = delete;
};

// An exception thrown out of Invoke: a framework exception (its message; a
// dispatch exception also gives its status code), a standard logic or
// runtime error, or anything else.
struct InvokeThrow {
    enum Kind { None, Framework, Standard, Other } kind = None;
    std::string text;
    HRESULT code = E_FAIL;
};

InvokeThrow ClassifyInvokeThrow(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const COleDispatchException& e) {
        // A thrown status that is not a failure still fails the call.
        return {InvokeThrow::Framework, MvExceptionText(error),
                FAILED(e.m_scError) ? e.m_scError : E_FAIL};
    } catch (const CException&) {
        return {InvokeThrow::Framework, MvExceptionText(error)};
    } catch (const std::logic_error&) {
        return {InvokeThrow::Standard, MvExceptionText(error)};
    } catch (const std::runtime_error&) {
        return {InvokeThrow::Standard, MvExceptionText(error)};
    } catch (...) {
        return {InvokeThrow::Other, "An unknown exception has occurred."};
    }
}

// The status code of a thrown HRESULT, S_OK for any other exception.
HRESULT ThrownCode(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (long code) {
        return static_cast<HRESULT>(code);
    } catch (unsigned code) {
        return static_cast<HRESULT>(code);
    } catch (...) {
        return S_OK;
    }
}

// Invokes a property of the object. A failure forms the message
// "Error Setting Object Property <parameter>: " and the text of the failure;
// an exception is classified into `thrown` (its code the result) for the
// pass to word.
HRESULT InvokeProperty(IDispatch* object, DISPID id, WORD flags, DISPPARAMS& params, VARIANT* value,
                       const std::string& parameterName, std::string& message,
                       InvokeThrow& thrown) {
    ExcepInfo info;
    UINT argError = 0;
    try {
        HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, value,
                                    &info, &argError);
        if (FAILED(hr)) {
            message = SettingProperty(parameterName) + ": ";
            GetInvokeError(hr, info, message);
        }
        return hr;
    } catch (...) {
        thrown = ClassifyInvokeThrow(std::current_exception());
        return thrown.code;
    }
}

mv::ComPtr<IMvCalcOLEMethod> MethodEntry(IMvObjCollection* methods, LONG index, HRESULT* hr) {
    mv::ComPtr<IDispatch> item;
    mv::ComPtr<IMvCalcOLEMethod> entry;
    *hr = methods->ItemByIndex(index, item.Put());
    if (SUCCEEDED(*hr)) *hr = item.As(&entry);
    if (SUCCEEDED(*hr) && !entry) *hr = E_NOINTERFACE;
    return entry;
}

// Walks the entries of OleMethods in collection order while the result is
// S_OK, handing each entry of the field type `fieldType` to `visit`; an
// entry that cannot be fetched ends the walk with its failure and a message.
template <class Visit>
HRESULT WalkOleMethods(IMvObjCollection* methods, LONG fieldType, std::string& message,
                       Visit&& visit) {
    LONG count = 0;
    if (!methods || FAILED(methods->get_Count(&count))) count = 0;
    HRESULT hr = S_OK;
    for (LONG k = 1; k <= count && hr == S_OK; ++k) {
        mv::ComPtr<IMvCalcOLEMethod> entry = MethodEntry(methods, k, &hr);
        if (FAILED(hr)) {
            message = "Error reading OLE method entry " + std::to_string(k) + "\n";
            break;
        }
        if (NumberOf(entry.get(), &IMvCalcOLEMethod::get_OleObjectFieldType) != fieldType) continue;
        hr = visit(entry.get());
    }
    return hr;
}

}  // namespace

void GetInvokeError(HRESULT& hr, EXCEPINFO& info, std::string& message) {
    static constexpr const char* kName = "GetInvokeError";
    MvStepFrame step(kName);
    std::string text;
    switch (static_cast<uint32_t>(hr)) {
        case 0x80020001:
            text =
                "DISP_E_UNKNOWNINTERFACE: The interface identifier passed in riid is not "
                "IID_NULL.";
            break;
        case 0x80020003:
            text =
                "DISP_E_MEMBERNOTFOUND: The requested member does not exist, or the call to "
                "Invoke tried to set the value of a read-only property.";
            break;
        case 0x80020004:
            text =
                "DISP_E_PARAMNOTFOUND: One of the parameter DISPIDs does not correspond to a "
                "parameter on the method. In this case, puArgErr should be set to the first "
                "argument that contains the error.";
            break;
        case 0x80020005:
            text =
                "DISP_E_TYPEMISMATCH: One or more of the arguments could not be coerced. The "
                "index within rgvarg of the first parameter with the incorrect type is returned "
                "in the puArgErr parameter.";
            break;
        case 0x80020007:
            text =
                "DISP_E_NONAMEDARGS: This implementation of IDispatch does not support named "
                "arguments.";
            break;
        case 0x80020008:
            text = "DISP_E_BADVARTYPE: One of the arguments in rgvarg is not a valid variant type.";
            break;
        case 0x80020009:
            // An empty description counts as none, so the text never ends
            // at the pass's prefix.
            text = info.bstrDescription && *info.bstrDescription
                       ? mv::ToUtf8(std::u16string_view(info.bstrDescription,
                                                        SysStringLen(info.bstrDescription)))
                       : "Dispatch error";
            break;
        case 0x8002000A:
            text =
                "DISP_E_OVERFLOW: One of the arguments in rgvarg could not be coerced to the "
                "specified type.";
            break;
        case 0x8002000C:
            text =
                "DISP_E_UNKNOWNLCID: The member being invoked interprets string arguments "
                "according to the LCID, and the LCID is not recognized. If the LCID is not "
                "needed to interpret arguments, this error should not be returned.";
            break;
        case 0x8002000E:
            text =
                "DISP_E_BADPARAMCOUNT: The number of elements provided to DISPPARAMS is "
                "different from the number of arguments accepted by the method or property.";
            break;
        case 0x8002000F:
            text = "DISP_E_PARAMNOTOPTIONAL: A required parameter was omitted.";
            break;
        default: {
            char code[48];
            std::snprintf(code, sizeof code, "Error from IDispatch:Invoke:%x",
                          static_cast<unsigned>(hr));
            text = code;
            hr = kInvokeFailed;
        }
    }
    MvLogErrorHr(kName, hr);
    MvLogErrorA(kName, text.c_str());
    message += text;
    for (BSTR* field : {&info.bstrDescription, &info.bstrSource, &info.bstrHelpFile}) {
        SysFreeString(*field);
        *field = nullptr;
    }
}

HRESULT SetupByRefArgument(VARIANT* argument, const VARIANT* source, VARIANT* storage, LONG type) {
    MvStepFrame step("SetupByRefArgument");
    VariantInit(storage);
    HRESULT hr = CalcVariantChangeType(storage, source, type);
    if (FAILED(hr)) return hr;
    VariantClear(argument);
    switch (type) {
        case VT_I2:
        case VT_I4:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_BOOL:
        case VT_UI1:
            argument->vt = static_cast<VARTYPE>(type | VT_BYREF);
            argument->byref = &storage->llVal;  // every value sits at the same place
            return hr;
        case VT_VARIANT:
            argument->vt = VT_VARIANT | VT_BYREF;
            argument->pvarVal = storage;
            return hr;
        case VT_EMPTY:
        case VT_NULL:
            return hr;
        default:
            // No reference of this type can be formed: fail before the call
            // instead of passing an empty argument.
            VariantClear(storage);
            return DISP_E_BADVARTYPE;
    }
}

HRESULT CMvCalculation::SetOLEProps(IDispatch* object) {
    static constexpr const char* kName = "CMvCalculation::SetOLEProps";
    MvStepFrame step(kName);
    std::string message;
    const HRESULT hr = WalkOleMethods(
        Collection(m_OleMethods).get(), mvcProperty, message,
        [&](IMvCalcOLEMethod* entry) -> HRESULT {
            std::string parameterName;
            mv::ComPtr<IMvParameter> parameter;
            if (HRESULT found = PropertyParameter(*this, entry, {mvcInput, mvcInputOutput},
                                                  parameterName, parameter, message);
                found != S_OK)
                return FAILED(found) ? found : S_OK;
            mv::Variant value;
            MvThrowIfOutOfMemory(parameter->get_Value(&value));
            mv::Variant converted;
            HRESULT result = CalcVariantChangeType(
                &converted, &value, NumberOf(entry, &IMvCalcOLEMethod::get_FieldDataType));
            if (result != S_OK) {
                message = InvalidValueType(parameterName);
                return result;
            }
            DISPID named = DISPID_PROPERTYPUT;
            DISPPARAMS params{&converted, &named, 1, 1};
            InvokeThrow thrown;
            result = InvokeProperty(object, GetDispId(object, entry), DISPATCH_PROPERTYPUT, params,
                                    nullptr, parameterName, message, thrown);
            if (thrown.kind == InvokeThrow::Other) {
                message = SettingProperty(parameterName) + "\n";
            } else if (thrown.kind != InvokeThrow::None) {
                message = SettingProperty(parameterName) + ". " + thrown.text + ".\n";
                MvLogErrorHr(kName, result);
                MvLogErrorA(kName, {"An error exception was caught. ", thrown.text});
            }
            return result;
        });
    if (FAILED(hr)) SetError(message);
    return hr;
}

HRESULT CMvCalculation::CallOLEMethods(IDispatch* object) {
    MvStepFrame step("CMvCalculation::CallOLEMethods");
    std::string message;
    const HRESULT hr = WalkOleMethods(
        Collection(m_OleMethods).get(), mvcMethod, message,
        [&](IMvCalcOLEMethod* entry) -> HRESULT {
            const std::string parameterName = TextOf(entry, &IMvCalcOLEMethod::get_ParameterName);
            mv::ComPtr<IMvParameter> returnValue;
            if (!parameterName.empty())
                (void)GetParameter(mv::Bstr(parameterName).get(), returnValue.Put());
            return CallOLEMethod(object, entry, returnValue.get());
        });
    // A failed call has set its own message; only a failed fetch has not.
    if (FAILED(hr) && !message.empty()) SetError(message);
    return hr;
}

HRESULT CMvCalculation::CallOLEMethod(IDispatch* object, IMvCalcOLEMethod* method,
                                      IMvParameter* returnValue) {
    static constexpr const char* kName = "CMvCalculation::CallOLEMethod";
    MvStepFrame step(kName);
    HRESULT hr = S_OK;
    std::string message;
    std::string detail;
    const std::string name = TextOf(method, &IMvCalcOLEMethod::get_Name);

    struct Argument {
        LONG direction = mvcInput;
        LONG dataType = 0;
        mv::ComPtr<IMvParameter> parameter;
    };
    mv::ComPtr<IMvObjCollection> collection;
    LONG n = 0;
    hr = method->get_Arguments(collection.Put());
    if (SUCCEEDED(hr) && collection) hr = collection->get_Count(&n);
    if (FAILED(hr) || !collection || n < 0) {
        if (SUCCEEDED(hr)) hr = E_POINTER;
        detail = "Error reading argument 1";
        n = 0;
    }
    const std::size_t count = static_cast<std::size_t>(n);
    std::vector<VARIANT> args(count);
    std::vector<VARIANT> storage(count);
    for (std::size_t k = 0; k < count; ++k) {
        VariantInit(&args[k]);
        VariantInit(&storage[k]);
    }
    std::vector<Argument> described(count);
    mv::Variant result;
    const auto byReference = [](const Argument& a) {
        return a.dataType != VT_DISPATCH && a.direction != mvcInput;
    };

    try {
        // The first argument of the collection goes to the last element:
        // Invoke takes rgvarg in reverse order.
        for (std::size_t i = 0; i < count && hr == S_OK; ++i) {
            const std::size_t j = count - 1 - i;
            const std::string position = std::to_string(i + 1);
            mv::ComPtr<IDispatch> item;
            mv::ComPtr<IMvCalcOLEArg> argument;
            hr = collection->ItemByIndex(static_cast<LONG>(i + 1), item.Put());
            if (SUCCEEDED(hr)) hr = item.As(&argument);
            if (SUCCEEDED(hr) && !argument) hr = E_NOINTERFACE;
            if (FAILED(hr)) {
                detail = "Error reading argument " + position;
                break;
            }
            Argument& a = described[i];
            a.direction = NumberOf(argument.get(), &IMvCalcOLEArg::get_OleMethodArgumentType);
            a.dataType = NumberOf(argument.get(), &IMvCalcOLEArg::get_ArgumentDataType);
            const std::string parameterName =
                TextOf(argument.get(), &IMvCalcOLEArg::get_ParameterName);
            (void)GetParameter(mv::Bstr(parameterName).get(), a.parameter.Put());
            if (!a.parameter) {
                hr = E_FAIL;
                detail = "Parameter '" + parameterName + "' not found for Argument " + position;
                break;
            }
            if (a.dataType == VT_DISPATCH) {
                mv::ComPtr<IDispatch> self;
                hr = a.parameter.As(&self);
                if (SUCCEEDED(hr)) {
                    args[j].vt = VT_DISPATCH;
                    args[j].pdispVal = self.Detach();
                }
            } else {
                mv::Variant value;
                MvThrowIfOutOfMemory(a.parameter->get_Value(&value));
                hr = a.direction == mvcInput
                         ? CalcVariantChangeType(&args[j], &value, a.dataType)
                         : SetupByRefArgument(&args[j], &value, &storage[j], a.dataType);
            }
            if (hr != S_OK)
                detail =
                    "Invalid Value Type for Parameter '" + parameterName + "' Argument " + position;
        }

        if (SUCCEEDED(hr)) {
            const DISPID id = GetDispId(object, method);
            DISPPARAMS params{count ? args.data() : nullptr, nullptr, static_cast<UINT>(count), 0};
            ExcepInfo info;
            UINT argError = 0;
            try {
                hr = object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &params,
                                    &result, &info, &argError);
                if (FAILED(hr)) GetInvokeError(hr, info, detail);
            } catch (...) {
                const InvokeThrow thrown = ClassifyInvokeThrow(std::current_exception());
                hr = thrown.code;
                detail = thrown.text;
            }
        }
        if (FAILED(hr) || !detail.empty()) {
            if (SUCCEEDED(hr)) hr = E_FAIL;
            message = "Error Executing Method " + Quoted(name) + ": " + detail;
            detail.clear();
        } else {
            // A value not stored for lack of memory fails the call.
            if (returnValue) MvThrowIfOutOfMemory(returnValue->put_Value(result));
            // Every by-reference argument is written back; the first failed
            // conversion fails the call.
            HRESULT firstFailure = S_OK;
            for (std::size_t i = 0; i < count; ++i) {
                const Argument& a = described[i];
                if (!byReference(a)) continue;
                const std::size_t j = count - 1 - i;
                result.Clear();
                const LONG type = NumberOf(a.parameter.get(), &IMvParameter::get_Type);
                const LONG direction =
                    NumberOf(a.parameter.get(), &IMvParameter::get_ParameterType);
                const HRESULT converted = CalcVariantChangeType(&result, &storage[j], type);
                if (FAILED(converted)) {
                    if (SUCCEEDED(firstFailure)) firstFailure = converted;
                    if (!message.empty()) message += "\n";
                    message += "Invalid Value Type for Method Argument " + std::to_string(i + 1);
                }
                if (direction & mvcOutput) MvThrowIfOutOfMemory(a.parameter->put_Value(result));
            }
            if (FAILED(firstFailure)) hr = firstFailure;
        }
    } catch (...) {
        const std::string text = MvExceptionText(std::current_exception());
        const HRESULT thrown = ThrownCode(std::current_exception());
        if (FAILED(thrown))
            hr = thrown;
        else if (SUCCEEDED(hr))
            hr = E_FAIL;
        if (!message.empty()) message += "\n";
        message += "An error exception was caught. " + text;
        const std::string thread =
            "Thread=" + std::to_string(GetCurrentThreadId()) + ". Err=" + text + ".";
        MvLogErrorHr(kName, hr);
        MvLogErrorA(kName, text.c_str());
        MvLogErrorHr(kName, hr);
        MvLogErrorA(kName, thread.c_str());
    }

    // Release everything the call formed.
    int failures = 0;
    int mark = 0;
    HRESULT firstClear = S_OK;
    const auto clear = [&](VARIANT* v, int kind) {
        const HRESULT cleared = VariantClear(v);
        if (SUCCEEDED(cleared)) return;
        if (failures++ == 0) firstClear = cleared;
        mark |= kind;
    };
    for (std::size_t j = 0; j < count; ++j) clear(&args[j], 1);
    for (std::size_t i = 0; i < count; ++i) {
        VARIANT& held = storage[count - 1 - i];
        if (held.vt != VT_EMPTY && byReference(described[i])) clear(&held, 2);
    }
    clear(&result, 4);
    if (failures > 0) {
        char text[256];
        std::snprintf(text, sizeof text,
                      "Thread=%lu. Failed to free memory after OLE Calc executed. (%i errors "
                      "occurred, hr=0x%0lx, mark=%i)",
                      static_cast<unsigned long>(GetCurrentThreadId()), failures,
                      static_cast<unsigned long>(static_cast<uint32_t>(firstClear)), mark);
        MvLogErrorHr(kName, hr);
        MvLogErrorA(kName, text);
    }

    if (FAILED(hr)) SetError(message);
    return hr;
}

HRESULT CMvCalculation::GetOLEProps(IDispatch* object) {
    static constexpr const char* kName = "CMvCalculation::GetOLEProps";
    MvStepFrame step(kName);
    std::string message;
    const HRESULT hr = WalkOleMethods(
        Collection(m_OleMethods).get(), mvcProperty, message,
        [&](IMvCalcOLEMethod* entry) -> HRESULT {
            std::string parameterName;
            mv::ComPtr<IMvParameter> parameter;
            if (HRESULT found =
                    PropertyParameter(*this, entry, {mvcOutput, mvcInputOutput, mvcReturnValue},
                                      parameterName, parameter, message);
                found != S_OK)
                return FAILED(found) ? found : S_OK;
            DISPPARAMS none{nullptr, nullptr, 0, 0};
            mv::Variant value;
            InvokeThrow thrown;
            HRESULT result = InvokeProperty(object, GetDispId(object, entry), DISPATCH_PROPERTYGET,
                                            none, &value, parameterName, message, thrown);
            if (thrown.kind == InvokeThrow::Framework)
                message = SettingProperty(parameterName) + ". " + thrown.text + ".\n";
            else if (thrown.kind == InvokeThrow::Standard)
                message = thrown.text;
            else if (thrown.kind == InvokeThrow::Other)
                message = SettingProperty(parameterName) + "\n";
            if (SUCCEEDED(result)) {
                mv::Variant converted;
                result = CalcVariantChangeType(
                    &converted, &value, NumberOf(entry, &IMvCalcOLEMethod::get_FieldDataType));
                if (FAILED(result)) message = InvalidValueType(parameterName);
                MvThrowIfOutOfMemory(parameter->put_Value(converted));
            }
            if (!message.empty()) {
                MvLogErrorHr(kName, result);
                MvLogErrorA(kName, {"An error exception was caught. ", message});
            }
            return result;
        });
    if (FAILED(hr)) SetError(message);
    return hr;
}

// Exceptions of the object's lookup pass through to the caller's guard.
LONG CMvCalculation::GetDispId(IDispatch* object, IMvCalcOLEMethod* method) {
    static constexpr const char* kName = "CMvCalculation::GetDispId";
    const bool methods = g_DiagnosticLog.IsOn(LogMethods);
    if (methods) MvTraceMethodStart(kName);
    LONG id = NumberOf(method, &IMvCalcOLEMethod::get_DispId, DISPID_UNKNOWN);
    if (id == DISPID_UNKNOWN) {
        mv::Bstr name;
        (void)method->get_Name(name.Out());
        LPOLESTR names[] = {name.get() ? name.get() : const_cast<LPOLESTR>(u"")};
        DISPID found = DISPID_UNKNOWN;
        (void)object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &found);
        method->put_DispId(found);
        id = found;
    }
    if (methods) MvTraceMethodEnd(kName, S_OK);
    return id;
}
