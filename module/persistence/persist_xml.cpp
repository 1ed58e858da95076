// The XML form of the property-map classes and its small helpers.
#include "persistence/persist_xml.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "comobj.h"
#include "frame/diagnostic_log.h"
#include "frame/trace.h"
#include "interfaces/MvMorvaCalc_ids.h"
#include "persistence/property_map.h"

const PersistClassName PersistClassNameTable[kPersistClassNameCount] = {
    {&CLSID_MvCalculation, "LibFormula"},      {&CLSID_MvParameter, "Parameter"},
    {&CLSID_MvObjCollection, "ObjCollection"}, {&CLSID_MvDataSet, "DataSet"},
    {&CLSID_MvDataSetColumn, "DataSetColumn"}, {&CLSID_MvScheduleGroup, "ScheduleGroup"},
    {&CLSID_MvFormulaLibrary, "Library"},      {&CLSID_MvEngUnit, "EngUnit"},
    {&CLSID_MvEngUnitType, "EngUnitType"},     {&CLSID_MvFormulaRef, "CalcFormula"},
    {&CLSID_MvCalcOLEMethod, "CalcOLEMethod"}, {&CLSID_MvCalcOLEArg, "CalcOLEArg"},
    {&CLSID_MvCalculationRef, "Calculation"},  {&CLSID_MvCalcEnvironment, "CalcEnvironment"},
    {&CLSID_MvDravikConnect, "DravikConnect"},
};

namespace {

constexpr const char* kSaveName = "MvPersistXML_Save";
constexpr const char* kLoadName = "MvPersistXML_Load";
constexpr const char16_t* kNotFiniteAttribute = u"isNotFinite";
// Rows of these DISPIDs hold a value that may be an object, which is never
// written as text.
constexpr DISPID kDispidValue = 0;
constexpr DISPID kDispidCalcValue = 290;
constexpr LCID kEnglishUs = 0x409;
// The quiet bit of a double's upper word.
constexpr uint32_t kQuietNanBit = 0x00080000;
constexpr uint32_t kExponentMask = 0x7FF00000;

bool IsNonFiniteReal(const VARIANT& v) {
    if (v.vt == VT_R8) return !std::isfinite(v.dblVal);
    if (v.vt == VT_R4) return !std::isfinite(v.fltVal);
    return false;
}

// Whether the value is an object that answers IMvPersistXML.
bool HasOwnXmlForm(const VARIANT& v) {
    if (v.vt != VT_DISPATCH || !v.pdispVal) return false;
    mv::ComPtr<IMvPersistXML> own;
    return SUCCEEDED(v.pdispVal->QueryInterface(IID_IMvPersistXML, own.PutVoid())) && own;
}

double AsDouble(const VARIANT& v) {
    return v.vt == VT_R4 ? static_cast<double>(v.fltVal) : v.dblVal;
}

// The upper word that stands for a non-finite value in the text form. A NaN
// whose payload lies wholly in the lower word has the upper word of an
// infinity; it is written with the quiet bit set so that it reads back as a
// NaN.
uint32_t NonFiniteUpperWord(double d) {
    uint32_t upper = static_cast<uint32_t>(std::bit_cast<uint64_t>(d) >> 32);
    if (std::isnan(d) && (upper & 0x000FFFFF) == 0) upper |= kQuietNanBit;
    return upper;
}

bool IsXmlBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

// A text of decimal digits only (blanks around it allowed) that fits 32 bits.
bool ParseUpperWordText(std::u16string_view text, uint32_t* out) {
    while (!text.empty() && IsXmlBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsXmlBlank(text.back())) text.remove_suffix(1);
    if (text.empty() || text.size() > 10) return false;
    uint64_t value = 0;
    for (char16_t c : text) {
        if (c < u'0' || c > u'9') return false;
        value = value * 10 + static_cast<uint64_t>(c - u'0');
    }
    if (value > UINT32_MAX) return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

// Reads back a value written under "isNotFinite": the text (or, when the
// text is not plain digits, the number itself) is the upper word of an
// infinity or NaN whose lower word is 0. Any other number stays as read.
void RecogniseNonFinite(IXMLDOMNode* element, VARIANT* value) {
    uint32_t upper = 0;
    mv::Bstr text;
    bool known =
        SUCCEEDED(element->get_text(text.Out())) && ParseUpperWordText(text.view(), &upper);
    if (!known) {
        const double d = AsDouble(*value);
        if (!(d >= 0.0 && d <= static_cast<double>(UINT32_MAX) && d == std::floor(d))) return;
        upper = static_cast<uint32_t>(d);
    }
    if ((upper & kExponentMask) != kExponentMask) return;
    VariantClear(value);
    value->vt = VT_R8;
    value->dblVal = std::bit_cast<double>(static_cast<uint64_t>(upper) << 32);
    // A value that fits a single becomes one; an infinity does not fit and
    // stays a double.
    mv::Variant narrowed;
    if (SUCCEEDED(VariantChangeType(&narrowed, value, 0, VT_R4))) {
        VariantClear(value);
        *value = narrowed.Detach();
    }
}

bool IsDataType(const VARIANT& dataType, std::u16string_view name) {
    return dataType.vt == VT_BSTR && dataType.bstrVal &&
           std::u16string_view(dataType.bstrVal, SysStringLen(dataType.bstrVal)) == name;
}

// Replaces *out by the text `made`; E_OUTOFMEMORY, *out untouched, when the
// text could not be allocated (null).
HRESULT PutText(VARIANT* out, BSTR made) {
    if (!made) return E_OUTOFMEMORY;
    VariantClear(out);
    out->vt = VT_BSTR;
    out->bstrVal = made;
    return S_OK;
}

}  // namespace

HRESULT GetID(const OLECHAR* name, CLSID* clsid) {
    if (!clsid) return E_POINTER;
    const std::string narrow = mv::ToUtf8(name);
    for (const PersistClassName& row : PersistClassNameTable) {
        if (narrow == row.name) {
            *clsid = *row.clsid;
            return S_OK;
        }
    }
    return E_FAIL;
}

HRESULT GetNodeName(REFCLSID clsid, BSTR* name) {
    if (!name) return E_POINTER;
    for (const PersistClassName& row : PersistClassNameTable) {
        if (std::memcmp(&clsid, row.clsid, sizeof(CLSID)) == 0) {
            *name = SysAllocString(mv::ToUtf16(row.name).c_str());
            return *name ? S_OK : E_OUTOFMEMORY;
        }
    }
    return E_FAIL;
}

HRESULT MvPersistXML_VariantToText(VARIANT* out, const VARIANT* in) {
    if (!out || !in) return E_POINTER;
    // A text that cannot be made for lack of memory is no empty text.
    if (in->vt == VT_BOOL)
        return PutText(out, SysAllocString(in->boolVal != VARIANT_FALSE ? u"1" : u"0"));
    if (in->vt == VT_DATE) {
        SYSTEMTIME st{};
        if (!VariantTimeToSystemTime(in->date, &st)) return E_FAIL;
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d", st.wYear, st.wMonth,
                      st.wDay, st.wHour, st.wMinute, st.wSecond);
        return PutText(out, SysAllocString(mv::ToUtf16(buffer).c_str()));
    }
    if (IsNonFiniteReal(*in)) {
        mv::Variant upper;
        upper.vt = VT_UI4;
        upper.ulVal = NonFiniteUpperWord(AsDouble(*in));
        return VariantChangeTypeEx(out, &upper, kEnglishUs, 0, VT_BSTR);
    }
    return VariantChangeTypeEx(out, in, kEnglishUs, 0, VT_BSTR);
}

HRESULT MvPersistXML_DataTypeName(const VARIANT* in, VARIANT* out) {
    if (!in || !out) return E_POINTER;
    const char16_t* name = u"string";
    switch (in->vt) {
        case VT_EMPTY:
            name = u"char";
            break;
        case VT_I2:
            name = u"i2";
            break;
        case VT_I4:
            name = u"i4";
            break;
        case VT_R4:
            name = u"r4";
            break;
        case VT_R8:
            name = u"r8";
            break;
        case VT_DATE:
            name = u"dateTime";
            break;
        case VT_BOOL:
            name = u"boolean";
            break;
        default:
            break;
    }
    return PutText(out, SysAllocString(name));
}

HRESULT MvPersist_NormalizeLineEnds(VARIANT* value) {
    if (!value || value->vt != VT_BSTR || !value->bstrVal) return S_OK;
    const std::u16string_view text(value->bstrVal, SysStringLen(value->bstrVal));
    std::u16string repaired;
    repaired.reserve(text.size() + 8);
    bool grown = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\n' && (i == 0 || text[i - 1] != u'\r')) {
            repaired += u'\r';
            grown = true;
        }
        repaired += text[i];
    }
    if (!grown) return S_OK;
    BSTR fresh = SysAllocStringLen(repaired.data(), static_cast<UINT>(repaired.size()));
    if (!fresh) return E_OUTOFMEMORY;
    SysFreeString(value->bstrVal);
    value->bstrVal = fresh;
    return S_OK;
}

bool MvPersistXML_CanHoldText(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') return false;
        if (c == 0xFFFE || c == 0xFFFF) return false;
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

HRESULT MvPersistXML_CheckText(const char* operation, std::u16string_view name,
                               std::u16string_view text) noexcept {
    if (MvPersistXML_CanHoldText(text)) return S_OK;
    MvLogFailure(operation, E_FAIL,
                 {"Property ", name, ": the text holds a character that XML cannot hold."});
    return E_FAIL;
}

bool MvPersistXML_HoldsElements(IXMLDOMNode* element) {
    mv::ComPtr<IXMLDOMNodeList> children;
    LONG length = 0;
    if (!element || FAILED(element->get_childNodes(children.Put())) || !children ||
        FAILED(children->get_length(&length)))
        return false;
    for (LONG i = 0; i < length; ++i) {
        mv::ComPtr<IXMLDOMNode> child;
        DOMNodeType type = NODE_INVALID;
        if (SUCCEEDED(children->get_item(i, child.Put())) && child &&
            SUCCEEDED(child->get_nodeType(&type)) && type == NODE_ELEMENT)
            return true;
    }
    return false;
}

HRESULT MvPersistXML_Save(IXMLDOMNode* node, const PropertyMapEntry* map, IUnknown* object) {
    mv::ComPtr<IDispatch> disp;
    HRESULT hr = object ? object->QueryInterface(IID_IDispatch, disp.PutVoid()) : E_POINTER;
    if (FAILED(hr) || !disp) {
        if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
        MvLogFailure(kSaveName, hr,
                     "QueryInterface : Failed while QueryInterface of IID_IDispatch!");
        return hr;
    }
    mv::ComPtr<IXMLDOMDocument> document;
    hr = node ? node->get_ownerDocument(document.Put()) : E_POINTER;
    if (FAILED(hr) || !document) {
        // A document node answers a null owner with success: it cannot take
        // the elements, so it is refused like any other node without one.
        if (SUCCEEDED(hr)) hr = E_INVALIDARG;
        MvLogFailure(kSaveName, hr, "get_ownerDocument : Failed to get IXMLDOMDocument interface.");
        return hr;
    }
    if (!map) return S_OK;

    for (const PropertyMapEntry* row = map; row->pclsidPropPage; ++row) {
        if (!row->szDesc) continue;
        const bool always = row->szDesc[0] == u'*';
        mv::Bstr elementName(always ? row->szDesc + 1 : row->szDesc);
        const DISPID dispid = row->dispid;

        mv::Variant value;
        hr = mv::DispGetProperty(disp.get(), dispid, &value);
        if (FAILED(hr)) {
            MvLogFailure(
                kSaveName, hr,
                MvLogNumberText("CComDispatchDriver::GetProperty: Failed to get current value of "
                                "property #%lld.",
                                dispid));
            return hr;
        }

        // An object value that has an XML form of its own (the recipe
        // connection) is written inside its element as a child collection is.
        const bool ownForm = dispid <= MV_DISPID_CHILD_LIMIT && dispid != kDispidValue &&
                             dispid != kDispidCalcValue && HasOwnXmlForm(value);
        if (dispid > MV_DISPID_CHILD_LIMIT || ownForm) {
            // A child collection: an element of its own, filled by the child.
            if (value.vt != VT_DISPATCH || !value.pdispVal) continue;
            mv::ComPtr<IMvPersistXML> child;
            hr = value.pdispVal->QueryInterface(IID_IMvPersistXML, child.PutVoid());
            if (FAILED(hr)) {
                MvLogFailure(kSaveName, hr,
                             MvLogNumberText("QueryInterface: Failed to get IID_IMvPersistXML of "
                                             "collection #%lld.",
                                             dispid));
                return hr;
            }
            mv::ComPtr<IXMLDOMElement> element;
            hr = document->createElement(elementName.get(), element.Put());
            if (FAILED(hr)) {
                MvLogFailure(kSaveName, hr, "createElement: Failed to create element type node.");
                return hr;
            }
            mv::ComPtr<IXMLDOMNode> appended;
            hr = node->appendChild(element.get(), appended.Put());
            if (FAILED(hr)) {
                MvLogFailure(kSaveName, hr, "appendChild: Failed to append entity node.");
                return hr;
            }
            hr = child->SaveXML(appended ? appended.get() : element.get());
            if (FAILED(hr)) {
                MvLogFailure(kSaveName, hr, "savexml: Failed to save to xml document modle.");
                return hr;
            }
            continue;
        }

        if (value.vt & VT_ARRAY) continue;
        if ((dispid == kDispidValue || dispid == kDispidCalcValue) && value.vt == VT_DISPATCH)
            continue;
        if (!always && MvPersist_IsZeroValue(value)) continue;

        // A value that cannot be converted is written as an empty element,
        // but for a date the platform cannot break down and a text XML cannot
        // hold: the saved document would lose them, or never load again.
        mv::Variant text;
        if (always)
            hr = MvPersistXML_VariantToText(&text, &value);
        else
            hr = VariantChangeType(&text, &value, 0, VT_BSTR);
        // Running out of memory is no value that cannot be converted: the
        // element would be saved empty.
        if (hr == E_OUTOFMEMORY) return hr;
        if (FAILED(hr) && value.vt == VT_DATE) {
            MvLogFailure(kSaveName, E_FAIL,
                         {"Property ", elementName, ": the date cannot be written."});
            return E_FAIL;
        }
        mv::Bstr textValue(text.vt == VT_BSTR && text.bstrVal ? text.bstrVal : u"");
        hr = MvPersistXML_CheckText(kSaveName, elementName.view(), textValue.view());
        if (FAILED(hr)) return hr;

        mv::ComPtr<IXMLDOMElement> element;
        hr = document->createElement(elementName.get(), element.Put());
        if (FAILED(hr)) {
            MvLogFailure(kSaveName, hr, "createNode: Failed to create element type node.");
            return hr;
        }
        if (always) {
            mv::Variant dataType;
            hr = MvPersistXML_DataTypeName(&value, &dataType);
            if (SUCCEEDED(hr)) hr = element->put_dataType(dataType.bstrVal);
            if (FAILED(hr)) {
                MvLogFailure(kSaveName, hr,
                             "put_dataType: Failed to put data type into element node.");
                return hr;
            }
            if (IsNonFiniteReal(value)) {
                mv::Variant no(false);
                mv::Bstr attribute(kNotFiniteAttribute);
                hr = element->setAttribute(attribute.get(), no);
                if (FAILED(hr)) {
                    MvLogFailure(kSaveName, hr,
                                 "setAttribute : Failed to set attribute 'isNotFinite' on element "
                                 "node.");
                    return hr;
                }
            }
        }
        mv::ComPtr<IXMLDOMText> textNode;
        hr = document->createTextNode(textValue.get(), textNode.Put());
        if (FAILED(hr)) {
            MvLogFailure(kSaveName, hr, "createNode : Failed to create text node.");
            return hr;
        }
        mv::ComPtr<IXMLDOMNode> appended;
        hr = node->appendChild(element.get(), appended.Put());
        if (FAILED(hr)) {
            MvLogFailure(kSaveName, hr, "appendChild : Failed to append element node.");
            return hr;
        }
        IXMLDOMNode* target = appended ? appended.get() : element.get();
        hr = target->appendChild(textNode.get(), nullptr);
        if (FAILED(hr)) {
            MvLogFailure(kSaveName, hr,
                         {"appendChild : Failed to append text node: ", textValue, ": [",
                          MvLogNumberText("%llx", static_cast<uint32_t>(hr)), "]"});
            return hr;
        }
    }
    return S_OK;
}

HRESULT MvPersistXML_Load(IXMLDOMNode* node, IUnknown* object) {
    mv::ComPtr<IDispatch> disp;
    HRESULT hr = object ? object->QueryInterface(IID_IDispatch, disp.PutVoid()) : E_POINTER;
    if (FAILED(hr) || !disp) {
        if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
        MvLogFailure(kLoadName, hr, "QueryInterface : Failed on QueryInterface of IID_IDispatch!");
        return hr;
    }
    mv::ComPtr<IXMLDOMNodeList> children;
    hr = node ? node->get_childNodes(children.Put()) : E_POINTER;
    if (FAILED(hr) || !children) {
        if (SUCCEEDED(hr)) hr = E_FAIL;
        MvLogFailure(kLoadName, hr, "get_childNodes : Failed on get child Nodes list!");
        return hr;
    }
    LONG length = 0;
    hr = children->get_length(&length);
    if (FAILED(hr)) {
        MvLogFailure(kLoadName, hr, " get_length : Failed on get list length!");
        return hr;
    }

    for (LONG i = 0; i < length; ++i) {
        mv::ComPtr<IXMLDOMNode> child;
        hr = children->get_item(i, child.Put());
        if (FAILED(hr) || !child) {
            if (SUCCEEDED(hr)) hr = E_FAIL;
            MvLogFailure(kLoadName, hr, "item: Failed on get child node.");
            return hr;
        }
        DOMNodeType type = NODE_INVALID;
        hr = child->get_nodeType(&type);
        if (FAILED(hr)) {
            MvLogFailure(kLoadName, hr, "get_nodeType: Failed on get child node type.");
            return hr;
        }
        if (type != NODE_ELEMENT) continue;
        mv::Bstr name;
        hr = child->get_nodeName(name.Out());
        if (FAILED(hr)) {
            MvLogFailure(kLoadName, hr, "get_nodeName: Failed on get child node name.");
            return hr;
        }
        DISPID dispid = DISPID_UNKNOWN;
        LPOLESTR names[] = {name.get() ? name.get() : const_cast<LPOLESTR>(u"")};
        hr = disp->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &dispid);
        if (FAILED(hr)) {
            MvLogFailure(kLoadName, hr,
                         {"getIDsOfNames : Failed on get dispid for \"", name, "\"."});
            return hr;
        }

        // A child collection, or an object value in its own form, is read by
        // the object the property holds (a property that holds none skips it).
        if (dispid > MV_DISPID_CHILD_LIMIT || MvPersistXML_HoldsElements(child.get())) {
            mv::Variant collection;
            hr = mv::DispGetProperty(disp.get(), dispid, &collection);
            if (FAILED(hr)) {
                MvLogFailure(
                    kLoadName, hr,
                    MvLogNumberText("CComDispatchDriver::GetProperty : Failed to get dispatch id "
                                    "of collection #%lld.",
                                    dispid));
                return hr;
            }
            if (collection.vt != VT_DISPATCH || !collection.pdispVal) continue;
            mv::ComPtr<IMvPersistXML> persist;
            hr = collection.pdispVal->QueryInterface(IID_IMvPersistXML, persist.PutVoid());
            if (FAILED(hr)) {
                MvLogFailure(
                    kLoadName, hr,
                    MvLogNumberText("QueryInterface: Failed to get a IID_IMvPersistXML pointer "
                                    "for collection #%lld.",
                                    dispid));
                return hr;
            }
            hr = persist->LoadXML(child.get());
            if (FAILED(hr)) {
                MvLogFailure(kLoadName, hr,
                             MvLogNumberText("pPersist->LoadXML: Failed to load persisted data of "
                                             "collection #%lld.",
                                             dispid));
                return hr;
            }
            continue;
        }

        mv::Variant dataType;
        hr = child->get_dataType(&dataType);
        if (FAILED(hr)) {
            MvLogFailure(kLoadName, hr, "get_dataType : Failed to get data type.");
            return hr;
        }
        mv::Variant value;
        if (!IsDataType(dataType, u"char")) {
            hr = child->get_nodeTypedValue(&value);
            if (FAILED(hr)) {
                MvLogFailure(kLoadName, hr, "get_nodeTypedValue: Failed to get node typed value.");
                return hr;
            }
            // The document model reads a typed element without text as
            // null; a string without text is the empty string, any other
            // type's empty text does not parse as that type.
            if (value.vt == VT_NULL && IsDataType(dataType, u"string")) {
                value.vt = VT_BSTR;
                value.bstrVal = SysAllocString(u"");
                if (!value.bstrVal) return E_OUTOFMEMORY;
            } else if (value.vt == VT_NULL && dataType.vt == VT_BSTR) {
                MvLogFailure(kLoadName, E_FAIL,
                             "get_nodeTypedValue: Failed to get node typed value.");
                return E_FAIL;
            }
            mv::ComPtr<IXMLDOMElement> element;
            hr = child->QueryInterface(IID_IXMLDOMElement, element.PutVoid());
            if (FAILED(hr) || !element) {
                if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
                MvLogFailure(kLoadName, hr,
                             "QueryInterface: Failed to query for XML Element interface.");
                return hr;
            }
            mv::Variant notFinite;
            mv::Bstr attribute(kNotFiniteAttribute);
            if (element->getAttribute(attribute.get(), &notFinite) == S_OK) {
                // A text that does not read as a boolean stays a string and
                // does not count as false.
                mv::Variant asBool;
                hr = VariantChangeType(&asBool, &notFinite, 0, VT_BOOL);
                if (hr == E_OUTOFMEMORY) return hr;
                if (SUCCEEDED(hr)) notFinite = std::move(asBool);
                const bool isFalse = notFinite.vt == VT_BOOL && notFinite.boolVal == VARIANT_FALSE;
                if (value.vt == VT_R8 || (value.vt == VT_R4 && isFalse))
                    RecogniseNonFinite(child.get(), &value);
            }
        }
        hr = MvPersist_NormalizeLineEnds(&value);
        if (FAILED(hr)) return hr;
        hr = mv::DispPutProperty(disp.get(), dispid, value);
        if (FAILED(hr)) {
            // The element is consumed; the load goes on with the next one.
            MvLogFailure(
                kLoadName, hr,
                MvLogNumberText("CComDispatchDriver::GetProperty : Failed to assign value to "
                                "property %lld.",
                                dispid));
            if (hr == E_OUTOFMEMORY) return hr;
        }
    }
    // A property that refused its value has been logged; as in the stream
    // form, that alone does not fail the load (running out of memory does).
    return S_OK;
}
