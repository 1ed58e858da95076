#include "environment/formula_ref.h"

#include <cstdio>
#include <vector>

#include "environment/library_cache.h"
#include "frame/calc_variant.h"
#include "frame/trace.h"
#include "interfaces/MvMorvaCalc_ids.h"
#include "persistence/persist_stream.h"
#include "persistence/persist_xml.h"
#include "persistence/property_map.h"

namespace {

constexpr DISPID kLibraryNameRecord = 245;
constexpr DISPID kNameRecord = 248;

// A null name matches any stored name; otherwise letter case is ignored.
bool Matches(const OLECHAR* given, const std::string& stored) {
    if (!given) return true;
    const std::string text = mv::ToUtf8(std::u16string_view(given));
    if (text.size() != stored.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto fold = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; };
        if (fold(text[i]) != fold(stored[i])) return false;
    }
    return true;
}

// The object an argument hands over as a parameter object, or null for a
// plain argument.
IDispatch* ArgumentObject(const VARIANT& argument, bool* isObject) {
    *isObject = true;
    if (argument.vt == VT_DISPATCH) return argument.pdispVal;
    if (argument.vt == (VT_BYREF | VT_DISPATCH) && argument.ppdispVal) return *argument.ppdispVal;
    if (argument.vt == (VT_BYREF | VT_VARIANT) && argument.pvarVal &&
        argument.pvarVal->vt == VT_DISPATCH)
        return argument.pvarVal->pdispVal;
    *isObject = false;
    return nullptr;
}

mv::ComPtr<IMvParameter> AsParameter(IDispatch* object) {
    mv::ComPtr<IMvParameter> parameter;
    if (object) (void)object->QueryInterface(IID_IMvParameter, parameter.PutVoid());
    return parameter;
}

// Gives a copy back to its chain and drops the call's reference.
void GiveBack(mv::ComPtr<IMvCalculation>& copy) {
    (void)copy->DeallocateCopy();
    copy.Reset();
}

}  // namespace

void CMvFormulaRef::SetText(CharString& field, BSTR text) {
    const std::string narrow =
        text ? mv::ToUtf8(std::u16string_view(text, SysStringLen(text))) : std::string();
    mv::ObjectLock lock(this);
    field.Assign(narrow.c_str());
}

std::string CMvFormulaRef::Text(const CharString& field) {
    mv::ObjectLock lock(this);
    return field.CStr();
}

HRESULT CMvFormulaRef::get_Name(BSTR* pVal) {
    return MvMethodFrame("CMvFormulaRef::get_Name", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        *pVal = m_Name.ToBSTR();
        return S_OK;
    });
}

HRESULT CMvFormulaRef::put_Name(BSTR newVal) {
    return MvMethodFrame("CMvFormulaRef::put_Name", [&] { SetText(m_Name, newVal); });
}

HRESULT CMvFormulaRef::get_LibraryName(BSTR* pVal) {
    return MvMethodFrame("CMvFormulaRef::get_LibraryName", [&] {
        if (!pVal) return E_POINTER;
        mv::ObjectLock lock(this);
        *pVal = m_LibraryName.ToBSTR();
        return S_OK;
    });
}

HRESULT CMvFormulaRef::put_LibraryName(BSTR newVal) {
    return MvMethodFrame("CMvFormulaRef::put_LibraryName", [&] { SetText(m_LibraryName, newVal); });
}

HRESULT CMvFormulaRef::get_Formula(IMvCalculation** pVal) {
    return MvMethodFrame("CMvFormulaRef::get_Formula", [&] {
        if (!pVal) return E_POINTER;
        m_InUse = 1;
        mv::ComPtr<IMvCalculation> held, outdated;
        mv::Bstr library, name;
        {
            mv::ObjectLock lock(this);
            // A formula of a library reloaded since it was fetched is let go.
            if (m_Formula && m_Generation &&
                m_Generation->load(std::memory_order_acquire) != m_FormulaGeneration) {
                outdated = std::move(m_Formula);
                m_LostInReload = true;
            }
            held = m_Formula;
            if (!held) {
                library = mv::Bstr::Attach(m_LibraryName.ToBSTR());
                name = mv::Bstr::Attach(m_Name.ToBSTR());
            }
        }
        if (!held) {
            // The look-up takes the cache lock, and a formula replacement
            // holds that lock while it clears references under their own
            // locks: so no lock of ours is held while looking up.
            const uint32_t drops = g_LibraryDrops.load();
            mv::ComPtr<IMvCalculation> found;
            (void)GetFormulaFromLibrary(library.get(), name.get(), found.Put());
            mv::ComPtr<IMvCalculation> released;
            mv::ObjectLock lock(this);
            // The first installed stays. A formula found across a drop is
            // this call's alone; the next read fetches again.
            if (!m_Formula) (void)HoldLocked(found.get(), drops, released);
            held = m_Formula ? m_Formula : found;
        }
        *pVal = held.Detach();
        return S_OK;
    });
}

bool CMvFormulaRef::HoldLocked(IMvCalculation* formula, uint32_t drops,
                               mv::ComPtr<IMvCalculation>& released) {
    if (!formula) return false;
    // The generation is read before the count is compared, and a drop
    // raises the count before the generation: so an unchanged count
    // vouches for a generation that no drop has passed yet.
    const MvLibraryGeneration* generation = LibraryGeneration(m_LibraryName.CStr());
    const uint32_t current = generation ? generation->load() : 0;
    if (g_LibraryDrops.load() != drops) return false;
    released = std::move(m_Formula);
    m_Formula = formula;
    m_Generation = generation;
    m_FormulaGeneration = current;
    m_LostInReload = false;
    return true;
}

bool CMvFormulaRef::HoldFound(IMvCalculation* formula, uint32_t drops) {
    mv::ComPtr<IMvCalculation> released;
    mv::ObjectLock lock(this);
    return HoldLocked(formula, drops, released);
}

HRESULT CMvFormulaRef::put_Formula(IMvCalculation* newVal) {
    return MvMethodFrame("CMvFormulaRef::put_Formula", [&] {
        mv::ComPtr<IMvCalculation> replaced(newVal);
        mv::ObjectLock lock(this);
        std::swap(replaced, m_Formula);
        // A formula given is taken as current for the library named now.
        m_Generation = LibraryGeneration(m_LibraryName.CStr());
        m_FormulaGeneration = m_Generation ? m_Generation->load() : 0;
        m_LostInReload = false;
    });
}

HRESULT CMvFormulaRef::ClearFormulaRef(BSTR LibraryName, BSTR FormulaName) {
    return MvMethodFrame("CMvFormulaRef::ClearFormulaRef", [&] {
        mv::ComPtr<IMvCalculation> dropped;
        mv::ObjectLock lock(this);
        if (!Matches(LibraryName, m_LibraryName.CStr())) return;
        if (!Matches(FormulaName, m_Name.CStr())) return;
        std::swap(dropped, m_Formula);
    });
}

HRESULT CMvFormulaRef::get_InUse(LONG* pVal) {
    return MvMethodFrame("CMvFormulaRef::get_InUse", [&] {
        if (!pVal) return E_POINTER;
        *pVal = m_InUse;
        return S_OK;
    });
}

HRESULT CMvFormulaRef::put_InUse(LONG newVal) {
    return MvMethodFrame("CMvFormulaRef::put_InUse", [&] { m_InUse = newVal; });
}

HRESULT CMvFormulaRef::GetTypeInfoCount(UINT*) {
    return E_NOTIMPL;
}

HRESULT CMvFormulaRef::GetTypeInfo(UINT, LCID, ITypeInfo**) {
    return DISP_E_BADINDEX;
}

HRESULT CMvFormulaRef::GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                     DISPID* rgDispId) {
    return MvMethodFrame("CMvFormulaRef::GetIDsOfNames", [&] {
        if (cNames == 0) return S_OK;
        if (!rgszNames || !rgDispId) return E_INVALIDARG;
        HRESULT hr = S_OK;
        const bool known =
            rgszNames[0] && Matches(rgszNames[0], "function") && rgszNames[0][0] != 0;
        rgDispId[0] = known ? 0 : DISPID_UNKNOWN;
        if (!known) hr = DISP_E_UNKNOWNNAME;
        for (UINT i = 1; i < cNames; ++i) {
            rgDispId[i] = DISPID_UNKNOWN;
            hr = DISP_E_UNKNOWNNAME;
        }
        return hr;
    });
}

HRESULT CMvFormulaRef::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags,
                              DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                              UINT*) {
    return MvMethodFrame("CMvFormulaRef::Invoke", [&] {
        if (dispIdMember != 0 || !(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
        // A missing argument block, or a count without its array, is refused
        // rather than read.
        if (!pDispParams || (pDispParams->cArgs > 0 && !pDispParams->rgvarg)) return E_INVALIDARG;
        if (pDispParams->cNamedArgs > 0) return DISP_E_NONAMEDARGS;
        return InvokeFormula(pDispParams, pVarResult, pExcepInfo);
    });
}

HRESULT CMvFormulaRef::InvokeFormula(DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo) {
    mv::ComPtr<IMvCalculation> copy;
    {
        mv::ComPtr<IMvCalculation> formula;
        (void)get_Formula(formula.Put());
        if (!formula) return InvokeError(excepInfo, "VBScript: Formula not set");
        (void)formula->AllocateCopy(copy.Put(), 0);
    }
    if (!copy) return InvokeError(excepInfo, "VBScript: Recursive Formula call");
    try {
        const LONG count = static_cast<LONG>(params->cArgs);
        if (NumberOfParameters(copy.get()) != count) {
            GiveBack(copy);
            return DISP_E_BADPARAMCOUNT;
        }
        HRESULT hr = SetInputParameters(copy.get(), count, params->rgvarg);
        if (FAILED(hr)) {
            GiveBack(copy);
            return hr;
        }
        if (FAILED(copy->Execute())) {
            mv::Bstr error;
            (void)copy->get_ErrorText(error.Out());
            const std::string text = error.Utf8() + ", in formula \"" + Text(m_Name) + "\"";
            GiveBack(copy);
            return InvokeError(excepInfo, text, false);
        }
        hr = GetOutputParameters(copy.get(), count, params->rgvarg);
        if (FAILED(hr)) {
            GiveBack(copy);
            return hr;
        }
        if (result) {
            mv::Variant value;
            HRESULT got = copy->get_Value(&value);
            VariantClear(result);
            if (got != E_OUTOFMEMORY) got = VariantCopy(result, &value);
            // Running out of memory is no result: the call would pass for
            // one that answered nothing.
            if (got == E_OUTOFMEMORY) hr = got;
        }
        GiveBack(copy);
        return hr;
    } catch (...) {
        // The copy goes back to its chain whatever ended the call.
        if (copy) GiveBack(copy);
        throw;
    }
}

HRESULT CMvFormulaRef::InvokeError(EXCEPINFO* excepInfo, const std::string& text, bool trace) {
    if (trace && g_DiagnosticLog.IsOn(LogSteps)) MvLogLine({"ExcepInfo: ( ", text, " )"});
    if (excepInfo) {
        // Made before the source, which would be left behind if it threw.
        mv::Bstr description(text);
        *excepInfo = EXCEPINFO{};
        excepInfo->wCode = 2000;
        excepInfo->bstrSource = SysAllocString(u"Morva Calc Formula");
        excepInfo->bstrDescription = description.Detach();
    }
    return DISP_E_EXCEPTION;
}

LONG CMvFormulaRef::NumberOfParameters(IMvCalculation* copy) {
    mv::ComPtr<IMvObjCollection> parameters;
    LONG count = 0;
    if (SUCCEEDED(copy->get_Parameters(parameters.Put())) && parameters)
        (void)parameters->get_Count(&count);
    return count - 1;
}

namespace {

// The walk shared by the two directions: for each argument, the parameter
// at its position, when its type is one of the two given. The result is that
// of the last position's IMvParameter request.
template <class Move>
HRESULT WalkArguments(IMvCalculation* copy, LONG cArgs, VARIANT* rgvarg, LONG typeA, LONG typeB,
                      Move&& move) {
    mv::ComPtr<IMvObjCollection> parameters;
    HRESULT hr = copy->get_Parameters(parameters.Put());
    if (FAILED(hr) || !parameters) return FAILED(hr) ? hr : E_UNEXPECTED;
    hr = S_OK;
    for (LONG k = 1; k <= cArgs; ++k) {
        mv::ComPtr<IDispatch> member;
        mv::ComPtr<IMvParameter> parameter;
        (void)parameters->ItemByIndex(k + 1, member.Put());
        hr = member ? member->QueryInterface(IID_IMvParameter, parameter.PutVoid()) : E_NOINTERFACE;
        if (FAILED(hr) || !parameter) continue;
        LONG type = mvcUnUsed;
        (void)parameter->get_ParameterType(&type);
        if (type == typeA || type == typeB) move(parameter.get(), &rgvarg[cArgs - k]);
    }
    return hr;
}

}  // namespace

HRESULT CMvFormulaRef::SetInputParameters(IMvCalculation* copy, LONG cArgs, VARIANT* rgvarg) {
    MvStepFrame step("CMvFormulaRef::SetInputParameters");
    return WalkArguments(copy, cArgs, rgvarg, mvcInput, mvcInputOutput,
                         [](IMvParameter* p, VARIANT* a) { (void)SetInputParam(p, a); });
}

HRESULT CMvFormulaRef::SetInputParam(IMvParameter* parameter, VARIANT* argument) {
    MvStepFrame step("CMvFormulaRef::SetInputParam");
    bool isObject = false;
    IDispatch* object = ArgumentObject(*argument, &isObject);
    if (isObject) return SetDispInputParam(parameter, object);
    SHORT level = -1, status = -2;
    MvThrowIfOutOfMemory(parameter->SetParameterValues(argument, &level, &status, nullptr));
    return S_OK;
}

HRESULT CMvFormulaRef::SetDispInputParam(IMvParameter* parameter, IDispatch* object) {
    MvStepFrame step("CMvFormulaRef::SetDispInputParam");
    mv::ComPtr<IMvParameter> source = AsParameter(object);
    if (!source) return S_OK;
    mv::Variant value;
    SHORT level = 0, status = 0;
    MvThrowIfOutOfMemory(source->GetParameterValues(&value, &level, &status, nullptr));
    MvThrowIfOutOfMemory(parameter->SetParameterValues(&value, &level, &status, nullptr));
    LONG record = 0, field = 0, history = 0;
    (void)source->GetParameterRecFld(&record, &field, &history);
    (void)parameter->SetParameterRecFld(&record, &field, &history);
    LONG binding = 0;
    (void)source->get_BindingType(&binding);
    (void)parameter->put_BindingType(binding);
    return S_OK;
}

HRESULT CMvFormulaRef::GetOutputParameters(IMvCalculation* copy, LONG cArgs, VARIANT* rgvarg) {
    MvStepFrame step("CMvFormulaRef::GetOutputParameters");
    return WalkArguments(copy, cArgs, rgvarg, mvcOutput, mvcInputOutput,
                         [](IMvParameter* p, VARIANT* a) { (void)GetOutputParam(p, a); });
}

HRESULT CMvFormulaRef::GetOutputParam(IMvParameter* parameter, VARIANT* argument) {
    MvStepFrame step("CMvFormulaRef::GetOutputParam");
    LONG changed = 0;
    (void)parameter->get_Changed(&changed);
    if (!changed) return S_OK;
    bool isObject = false;
    IDispatch* object = ArgumentObject(*argument, &isObject);
    if (isObject) return GetDispOutputParam(parameter, object);
    if (argument->vt == (VT_BYREF | VT_VARIANT) && argument->pvarVal) {
        mv::Variant value;
        MvThrowIfOutOfMemory(parameter->get_Value(&value));
        VariantClear(argument->pvarVal);
        *static_cast<VARIANT*>(argument->pvarVal) = value;
        value.vt = VT_EMPTY;  // moved into the caller's VARIANT
    }
    return S_OK;
}

HRESULT CMvFormulaRef::GetDispOutputParam(IMvParameter* parameter, IDispatch* object) {
    MvStepFrame step("CMvFormulaRef::GetDispOutputParam");
    mv::ComPtr<IMvParameter> target = AsParameter(object);
    if (!target) return S_OK;
    mv::Variant value;
    SHORT level = 0, status = 0;
    MvThrowIfOutOfMemory(parameter->GetParameterValues(&value, &level, &status, nullptr));
    MvThrowIfOutOfMemory(target->SetParameterValues(&value, &level, &status, nullptr));
    return S_OK;
}

HRESULT CMvFormulaRef::GetClassID(CLSID* pClassID) {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_MvFormulaRef;
    return S_OK;
}

HRESULT CMvFormulaRef::Save(IStream* pStm, BOOL) {
    return MvMethodFrame("CMvFormulaRef::Save", [&]() -> HRESULT {
        if (!pStm) return E_POINTER;
        const char* method = "CMvFormulaRef::Save";
        const std::pair<DISPID, std::string> rows[] = {{kLibraryNameRecord, Text(m_LibraryName)},
                                                       {kNameRecord, Text(m_Name)}};
        auto writeId = [&](DISPID id) -> HRESULT {
            uint8_t bytes[4];
            for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(uint32_t(id) >> (8 * i));
            HRESULT hr = pStm->Write(bytes, 4, nullptr);
            if (FAILED(hr))
                MvLogFailure(
                    method, hr,
                    MvLogNumberText("pStm->Write: Unable to write dispid %lld to stream!", id));
            return hr;
        };
        for (const auto& [id, text] : rows) {
            if (text.empty()) continue;
            if (HRESULT hr = writeId(id); FAILED(hr)) return hr;
            // Made before the type is set: a throw must not leave the value
            // claiming a string it does not hold.
            mv::Bstr made(text);
            mv::Variant value;
            value.vt = VT_BSTR;
            value.bstrVal = made.Detach();
            if (HRESULT hr = MvVariant_WriteToStream(pStm, value); FAILED(hr)) {
                MvLogFailure(
                    method, hr,
                    MvLogNumberText(
                        "pStm->Write : Unable to write value of property #%lld to stream!", id));
                return hr;
            }
        }
        return writeId(MV_DISPID_NULL);
    });
}

HRESULT CMvFormulaRef::Load(IStream* pStm) {
    return MvMethodFrame("CMvFormulaRef::Load", [&]() -> HRESULT {
        if (!pStm) return E_POINTER;
        const char* method = "CMvFormulaRef::Load";
        DISPID id = 0;
        // An identifier read that delivers fewer than four bytes ends the
        // load: a stream cut short never passes for a complete one.
        auto readId = [&]() -> HRESULT {
            uint8_t bytes[4];
            ULONG got = 0;
            HRESULT hr = pStm->Read(bytes, 4, &got);
            if (FAILED(hr)) {
                MvLogFailure(method, hr,
                             "pStm->Read : Failed to read property dispatch id from stream!");
                return hr;
            }
            if (got < 4) {
                MvLogFailure(
                    method, E_FAIL,
                    MvLogNumberText("Failed to read value of property #%lld from stream.", id));
                return E_FAIL;
            }
            id = static_cast<DISPID>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                     uint32_t(bytes[3]) << 24);
            return S_OK;
        };
        if (HRESULT hr = readId(); FAILED(hr)) return hr;
        while (id != MV_DISPID_NULL) {
            if (id > MV_DISPID_CHILD_LIMIT) {
                MvLogFailure(
                    method, S_OK,
                    MvLogNumberText(
                        "Formula Reference object does not support collection. Collecction "
                        "id is %lld.",
                        id));
            } else {
                mv::Variant value;
                if (HRESULT hr = MvVariant_ReadFromStream(pStm, &value); FAILED(hr)) {
                    MvLogFailure(
                        method, hr,
                        MvLogNumberText("Failed to read value of property #%lld from stream.", id));
                    return hr;
                }
                CharString* field = id == kLibraryNameRecord ? &m_LibraryName
                                    : id == kNameRecord      ? &m_Name
                                                             : nullptr;
                bool isText = true;
                if (field && value.vt != VT_BSTR) {
                    const HRESULT hr = VariantChangeType(&value, &value, 0, VT_BSTR);
                    // Running out of memory is no value that is not text:
                    // the field would be lost from the load.
                    if (hr == E_OUTOFMEMORY) return hr;
                    isText = SUCCEEDED(hr);
                }
                if (!field || !isText) {
                    MvLogFailure(
                        method, S_OK,
                        MvLogNumberText("Unanticipated property %lld for Formula Reference object.",
                                        id));
                } else {
                    SetText(*field, value.bstrVal);
                }
            }
            if (HRESULT hr = readId(); FAILED(hr)) return hr;
        }
        return S_OK;
    });
}

HRESULT CMvFormulaRef::SaveXML(IXMLDOMNode* node) {
    return MvMethodFrame("CMvFormulaRef::SaveXML", [&]() -> HRESULT {
        if (!node) return E_POINTER;
        const char* method = "CMvFormulaRef::SaveXML";
        mv::ComPtr<IXMLDOMDocument> document;
        HRESULT hr = node->get_ownerDocument(document.Put());
        if (SUCCEEDED(hr) && !document) hr = E_FAIL;
        if (FAILED(hr)) {
            MvLogFailure(method, hr,
                         "get_ownerDocument : Fialed to get IXMLDOMDocument interface.");
            return hr;
        }
        const std::pair<const char16_t*, std::string> rows[] = {
            {u"LibraryName", Text(m_LibraryName)}, {u"Name", Text(m_Name)}};
        for (const auto& [name, text] : rows) {
            if (text.empty()) continue;
            const mv::Bstr value(text);
            hr = MvPersistXML_CheckText(method, name, value.view());
            if (FAILED(hr)) return hr;
            mv::Variant type;
            type.vt = VT_I4;
            type.lVal = 1;
            mv::ComPtr<IXMLDOMNode> element, textNode, appended;
            hr = document->createNode(type, mv::Bstr(name).get(), nullptr, element.Put());
            if (FAILED(hr) || !element) {
                MvLogFailure(method, hr, "createNode : Fialed to create element type node.");
                return FAILED(hr) ? hr : E_FAIL;
            }
            hr = document->createTextNode(value.get(), textNode.Put());
            if (FAILED(hr) || !textNode) {
                MvLogFailure(method, hr, "createNode : Fialed to create text node.");
                return FAILED(hr) ? hr : E_FAIL;
            }
            hr = node->appendChild(element.get(), appended.Put());
            if (FAILED(hr)) {
                MvLogFailure(method, hr, "appendChild : Fialed to append element node.");
                return hr;
            }
            IXMLDOMNode* target = appended ? appended.get() : element.get();
            hr = target->appendChild(textNode.get(), nullptr);
            if (FAILED(hr)) {
                MvLogFailure(method, hr, "appendChild : Fialed to append text node.");
                return hr;
            }
        }
        return S_OK;
    });
}

HRESULT CMvFormulaRef::LoadXML(IXMLDOMNode* node) {
    return MvMethodFrame("CMvFormulaRef::LoadXML", [&]() -> HRESULT {
        if (!node) return E_POINTER;
        const char* method = "CMvFormulaRef::LoadXML";
        mv::ComPtr<IXMLDOMNodeList> children;
        HRESULT hr = node->get_childNodes(children.Put());
        if (SUCCEEDED(hr) && !children) hr = E_FAIL;
        if (FAILED(hr)) {
            MvLogFailure(method, hr, "get_childNodes : Failed on get child Nodes list!");
            return hr;
        }
        LONG length = 0;
        if (hr = children->get_length(&length); FAILED(hr)) {
            MvLogFailure(method, hr, " get_length : Failed on get list length!");
            return hr;
        }
        for (LONG index = 0; index < length; ++index) {
            mv::ComPtr<IXMLDOMNode> child;
            hr = children->get_item(index, child.Put());
            if (SUCCEEDED(hr) && !child) hr = E_FAIL;
            if (FAILED(hr)) {
                MvLogFailure(method, hr, "item : Failed on get child node.");
                return hr;
            }
            mv::Bstr name;
            if (hr = child->get_nodeName(name.Out()); FAILED(hr)) {
                MvLogFailure(method, hr, "get_nodeName : Failed on get child node name.");
                return hr;
            }
            mv::Variant value;
            if (hr = child->get_nodeTypedValue(&value); FAILED(hr)) {
                MvLogFailure(method, hr, "get_nodeTypedValue : Failed to get node typed value.");
                return hr;
            }
            const std::string key = name.Utf8();
            CharString* field = Matches(u"LibraryName", key) ? &m_LibraryName
                                : Matches(u"Name", key)      ? &m_Name
                                                             : nullptr;
            if (!field) continue;
            // A value that is not text is taken as text where it converts;
            // one that does not is passed over (but for running out of
            // memory, which would lose the field from the load).
            if (value.vt != VT_BSTR) {
                hr = VariantChangeType(&value, &value, 0, VT_BSTR);
                if (hr == E_OUTOFMEMORY) return hr;
                if (FAILED(hr)) continue;
            }
            SetText(*field, value.bstrVal);
        }
        return S_OK;
    });
}
