// Message-bus publishing: after a run, each output bound to the bus is sent
// as one process-item information document through the bus adapter. The
// adapter is set up on the first publication of the process and kept until
// the environment's final release; every publication runs under the
// publishing lock, so set-up happens once and publications never overlap.
//
// The document is a wire format that other programs parse: element names,
// prefixes, namespaces, order and texts are fixed. Item elements are made in
// the default (item) namespace; common elements in the common namespace with
// the prefix BPDCmn, declared where the outermost of them stands; the
// elements inside a common element are made by their prefixed name alone
// and share its declaration.
#include <new>
#include <string>
#include <vector>

#include "calculation/calculation.h"
#include "frame/app_globals.h"
#include "frame/base_folder.h"
#include "frame/calc_variant.h"
#include "frame/tagged_lock.h"
#include "frame/trace.h"
#include "sources/bus_adapter_interfaces.h"
#include "sys_env.h"
#include "xml.h"

namespace {

constexpr const char16_t* kItemNamespace = u"http://morva.example/namespace/bpd/PrcItm";
constexpr const char16_t* kCommonNamespace = u"http://morva.example/namespace/bpd/Common";
constexpr const char16_t* kSubject = u"MORVA_CALC_PUB";
constexpr const char* kPropertiesFile = "Bin/MorvaCalcQuenbusProperties.xml";

// The four failure texts of a text-bearing element: the text node, the
// element, the text's append and the element's append.
struct TextElementTexts {
    const char* text;
    const char* create;
    const char* appendText;
    const char* appendElement;
};

// A new element: in the namespace when one is given, else by its name alone
// (a namespace lost for lack of memory would move its declaration).
HRESULT MakeElement(IXMLDOMDocument* doc, const char16_t* name, const char16_t* uri,
                    mv::ComPtr<IXMLDOMNode>& out) {
    const mv::Bstr qname(name);
    if (!uri) {
        mv::ComPtr<IXMLDOMElement> element;
        const HRESULT hr = doc->createElement(qname.get(), element.Put());
        out = mv::ComPtr<IXMLDOMNode>(element.get());
        return FAILED(hr) ? hr : element ? S_OK : E_FAIL;
    }
    VARIANT type;
    VariantInit(&type);
    type.vt = VT_I4;
    type.lVal = NODE_ELEMENT;
    const HRESULT hr = doc->createNode(type, qname.get(), mv::Bstr(uri).get(), out.Put());
    return FAILED(hr) ? hr : out ? S_OK : E_FAIL;
}

// Makes an element, appends it to `parent` and hands it out; a failure is
// recorded with its text.
HRESULT AppendElement(CMvCalculation& calc, IXMLDOMDocument* doc, IXMLDOMNode* parent,
                      const char16_t* name, const char16_t* uri, mv::ComPtr<IXMLDOMNode>& out,
                      const char* createText, const char* appendText) {
    HRESULT hr = MakeElement(doc, name, uri, out);
    if (FAILED(hr)) {
        calc.SetError(createText);
        return hr;
    }
    hr = parent->appendChild(out.get(), nullptr);
    if (FAILED(hr)) calc.SetError(appendText);
    return hr;
}

// Makes the text node, makes the element, appends the text to the element
// and the element to `parent`. A text that XML cannot carry (a control
// character, an unpaired surrogate, U+FFFE, U+FFFF) makes no text node:
// every peer's parser would refuse the document.
HRESULT AppendTextElement(CMvCalculation& calc, IXMLDOMDocument* doc, IXMLDOMNode* parent,
                          const char16_t* name, const char16_t* uri, BSTR text,
                          const TextElementTexts& texts) {
    mv::ComPtr<IXMLDOMText> textNode;
    if (!MvPersistXML_CanHoldText({text ? text : u"", SysStringLen(text)}) ||
        FAILED(doc->createTextNode(text, textNode.Put())) || !textNode) {
        calc.SetError(texts.text);
        return E_FAIL;
    }
    mv::ComPtr<IXMLDOMNode> element;
    HRESULT hr = MakeElement(doc, name, uri, element);
    if (FAILED(hr)) {
        calc.SetError(texts.create);
        return hr;
    }
    hr = element->appendChild(textNode.get(), nullptr);
    if (FAILED(hr)) {
        calc.SetError(texts.appendText);
        return hr;
    }
    hr = parent->appendChild(element.get(), nullptr);
    if (FAILED(hr)) calc.SetError(texts.appendElement);
    return hr;
}

// The quality word of a level.
const char16_t* QualityWord(SHORT level) {
    switch (level) {
        case mvcQLEVEL_GOOD:
            return u"Good";
        case mvcQLEVEL_SUSPECT:
            return u"Suspect";
        default:
            return u"Error";
    }
}

// The current UTC time in whole seconds with a "Z"; empty when the clock
// cannot be converted.
mv::Bstr TimeText() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    mv::Variant date;
    if (!SystemTimeToVariantTime(&now, &date.date)) return mv::Bstr(u"");
    date.vt = VT_DATE;
    mv::Variant text;
    if (FAILED(MvThrowIfOutOfMemory(MvPersistXML_VariantToText(&text, &date))) ||
        text.vt != VT_BSTR)
        return mv::Bstr(u"");
    return mv::Bstr(std::u16string(text.bstrVal ? text.bstrVal : u"") + u"Z");
}

// The computer's name (at most 15 characters); empty when it cannot be read.
mv::Bstr ComputerName() {
    char name[16] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return mv::Bstr(u"");
    return mv::Bstr(std::string_view(name, size));
}

}  // namespace

void CMvCalculation::QuenbusDataTypeName(const VARIANT* value, VARIANT* name) {
    const char16_t* text = u"string";
    switch (value ? value->vt : VARTYPE{VT_EMPTY}) {
        case VT_I2:
            text = u"short";
            break;
        case VT_I4:
            text = u"int";
            break;
        case VT_R4:
            text = u"float";
            break;
        case VT_R8:
            text = u"double";
            break;
        case VT_DATE:
            text = u"dateTime";
            break;
        case VT_BOOL:
            text = u"boolean";
            break;
        default:
            break;
    }
    VariantInit(name);
    name->vt = VT_BSTR;
    name->bstrVal = SysAllocString(text);
    if (!name->bstrVal) throw std::bad_alloc();
}

HRESULT CMvCalculation::AppendTimeStampNode(const ParamInfo&, IXMLDOMDocument* doc,
                                            IXMLDOMNode* parent, const char16_t* name,
                                            const char16_t* uri) {
    MvStepFrame step("CMvCalculation::AppendTimeStampNode");
    return AppendTextElement(
        *this, doc, parent, name, uri, TimeText().get(),
        {"Failed to create valuetext node.", "Error creating timestampNameNode node.",
         "Error appending value to timestampNameNode.",
         "Error appending timestampNameNode to timestampValueList node."});
}

HRESULT CMvCalculation::AppendDataQualityRecord(const ParamInfo& record, IXMLDOMDocument* doc,
                                                IXMLDOMNode* qualityRecord) {
    MvStepFrame step("CMvCalculation::AppendDataQualityRecord");
    SHORT level = 0;
    record.Parameter->get_Level(&level);
    return AppendTextElement(
        *this, doc, qualityRecord, u"BPDCmn:DataQuality", nullptr,
        mv::Bstr(QualityWord(level)).get(),
        {"Failed to create dataQualityTextNode node.", "Error creating dataQualityNameNode node.",
         "Error appending value to dataQualityNameNode.",
         "Error appending timestampNameNode to ItemDataQualityRecordNode node."});
}

HRESULT CMvCalculation::AppendProcessItemInformationProperties(const ParamInfo& record,
                                                               IXMLDOMDocument* doc,
                                                               IXMLDOMNode* properties) {
    MvStepFrame step("CMvCalculation::AppendProcessItemInformationProperties");
    HRESULT hr =
        AppendTimeStampNode(record, doc, properties, u"DataAcquiredDateTime", kItemNamespace);
    if (FAILED(hr)) return hr;
    mv::ComPtr<IXMLDOMNode> source;
    hr = AppendElement(*this, doc, properties, u"BPDCmn:ProcessItemDataSource", kCommonNamespace,
                       source, "Error creating dataSourceNameNode node.",
                       "Error appending dataSourceNameNode to ProcessItemInformationPropertiesNode "
                       "node.");
    if (FAILED(hr)) return hr;
    hr = AppendTextElement(
        *this, doc, source.get(), u"BPDCmn:SourceID", nullptr, ComputerName().get(),
        {"Failed to create SourceID valuetext node.", "Error creating SourceIDNameNode node.",
         "Error appending value to SourceIDNameNode.",
         "Error appending SourceIDNameNode to dataSourceNameNode node."});
    if (FAILED(hr)) return hr;
    mv::ComPtr<IXMLDOMNode> quality;
    hr = AppendElement(*this, doc, properties, u"BPDCmn:DataQualityRecord", kCommonNamespace,
                       quality, "Error creating SourceDataQualityRecord node for group.",
                       "Error appending SourceDataQualityRecord to "
                       "ProcessItemInformationPropertiesNode.");
    if (FAILED(hr)) return hr;
    return AppendDataQualityRecord(record, doc, quality.get());
}

HRESULT CMvCalculation::AppendProcessItemGroup(const ParamInfo& record, IXMLDOMDocument* doc,
                                               IXMLDOMNode* group) {
    MvStepFrame step("CMvCalculation::AppendProcessItemGroup");
    mv::Bstr name;
    MvThrowIfOutOfMemory(get_Name(name.Out()));
    HRESULT hr = AppendTextElement(
        *this, doc, group, u"GroupID", kItemNamespace, name.get(),
        {"Failed to create GroupID valuetext node.", "Error creating GroupIDNameNode node.",
         "Error appending value to GroupIDNameNode.",
         "Error appending GroupIDNameNode to ProcessItemGroup node."});
    if (FAILED(hr)) return hr;
    mv::ComPtr<IXMLDOMNode> quality;
    hr = AppendElement(*this, doc, group, u"BPDCmn:DataQualityRecord", kCommonNamespace, quality,
                       "Error creating ItemDataQualityRecord node for group.",
                       "Error appending ItemDataQualityRecord to ProcessItemGroupNode.");
    if (FAILED(hr)) return hr;
    return AppendDataQualityRecord(record, doc, quality.get());
}

HRESULT CMvCalculation::AppendItemID(const ParamInfo& record, IXMLDOMDocument* doc,
                                     IXMLDOMNode* item) {
    MvStepFrame step("CMvCalculation::AppendItemID");
    mv::Bstr calcName, parameterName;
    MvThrowIfOutOfMemory(get_Name(calcName.Out()));
    MvThrowIfOutOfMemory(record.Parameter->get_Name(parameterName.Out()));
    const mv::Bstr id(std::u16string(calcName.view()) + u"." +
                      std::u16string(parameterName.view()));
    return AppendTextElement(
        *this, doc, item, u"ItemID", kItemNamespace, id.get(),
        {"Failed to create ItemID valuetext node.", "Error creating ItemIDNameNode node.",
         "Error appending value to ItemIDNameNode.",
         "Error appending ItemIDNameNode to ProcessItem node."});
}

HRESULT CMvCalculation::AppendTimeStampValueList(const ParamInfo& record, IXMLDOMDocument* doc,
                                                 IXMLDOMNode* list) {
    MvStepFrame step("CMvCalculation::AppendTimeStampValueList");
    HRESULT hr = AppendTimeStampNode(record, doc, list, u"BPDCmn:TimeStamp", kCommonNamespace);
    if (FAILED(hr)) return hr;
    mv::Variant value, text, type;
    // A value without a text form leaves the element empty; one that could
    // not be read or turned to text for lack of memory fails the publication.
    MvThrowIfOutOfMemory(record.Parameter->get_Value(&value));
    if (FAILED(MvThrowIfOutOfMemory(MvPersistXML_VariantToText(&text, &value))) ||
        text.vt != VT_BSTR)
        text.Clear();
    hr = AppendTextElement(*this, doc, list, u"BPDCmn:ValueString", nullptr,
                           text.vt == VT_BSTR ? text.bstrVal : nullptr,
                           {"Failed to create valuetext node.", "Error creating ValueString node.",
                            "Error appending value to ValueString node.",
                            "Error appending valueNameNode to timestampValueList node."});
    if (FAILED(hr)) return hr;
    QuenbusDataTypeName(&value, &type);
    return AppendTextElement(*this, doc, list, u"BPDCmn:DataType", nullptr, type.bstrVal,
                             {"Failed to create datatypeTextNode.", "Error creating DataType node.",
                              "Error appending value to DataType node.",
                              "Error appending datatypeNameNode to timestampValueList node."});
}

HRESULT CMvCalculation::BuildProcessItemInformationBody(const ParamInfo& record,
                                                        IXMLDOMDocument* doc, IXMLDOMNode* root) {
    MvStepFrame step("CMvCalculation::BuildProcessItemInformationBody");
    mv::ComPtr<IXMLDOMNode> body, properties, details, groups, group, items, item, quality, list,
        itemProperties;
    HRESULT hr = AppendElement(*this, doc, root, u"ProcessItemInformationBody", kItemNamespace,
                               body, "Error creating ProcessItemInformationBody node.",
                               "Error appending ProcessItemInformationBody node.");
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, body.get(), u"ProcessItemInformationProperties", kItemNamespace,
                       properties, "Error creating ProcessItemInformationProperties node.",
                       "Error appending ProcessItemInformationPropertiesNode node.");
    if (FAILED(hr)) return hr;
    hr = AppendProcessItemInformationProperties(record, doc, properties.get());
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, body.get(), u"ProcessItemInformationDetails", kItemNamespace,
                       details, "Error creating ProcessItemInformationDetails node.",
                       "Error appending ProcessItemInformationDetails node.");
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, details.get(), u"ProcessItemGroups", kItemNamespace, groups,
                       "Error creating ProcessItemGroups node.",
                       "Error appending ProcessItemGroups node.");
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, groups.get(), u"ProcessItemGroup", kItemNamespace, group,
                       "Error creating ProcessItemGroup node.",
                       "Error appending ProcessItemGroup node.");
    if (FAILED(hr)) return hr;
    hr = AppendProcessItemGroup(record, doc, group.get());
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, group.get(), u"ProcessItems", kItemNamespace, items,
                       "Error creating ProcessItems node.", "Error appending ProcessItems node.");
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, items.get(), u"ProcessItem", kItemNamespace, item,
                       "Error creating ProcessItem node.", "Error appending ProcessItem node.");
    if (FAILED(hr)) return hr;
    hr = AppendItemID(record, doc, item.get());
    if (FAILED(hr)) return hr;
    hr = AppendElement(*this, doc, item.get(), u"BPDCmn:DataQualityRecord", kCommonNamespace,
                       quality, "Error creating ItemDataQualityRecord node.",
                       "Error appending ItemDataQualityRecord node.");
    if (FAILED(hr)) return hr;
    hr = AppendDataQualityRecord(record, doc, quality.get());
    if (FAILED(hr)) return hr;
    // The value list is filled before it joins the item.
    hr = MakeElement(doc, u"BPDCmn:TimeStampValueList", kCommonNamespace, list);
    if (FAILED(hr)) {
        SetError("Error creating TimeStampValueList node.");
        return hr;
    }
    hr = AppendTimeStampValueList(record, doc, list.get());
    if (FAILED(hr)) return hr;
    hr = item->appendChild(list.get(), nullptr);
    if (FAILED(hr)) {
        SetError("Error appending TimeStampValueList node.");
        return hr;
    }
    return AppendElement(*this, doc, item.get(), u"ProcessItemProperties", kItemNamespace,
                         itemProperties, "Error creating ProcessItemProperties node.",
                         "Error appending ProcessItemProperties node.");
}

HRESULT CMvCalculation::BuildProcessItemInformationDocument(const ParamInfo& record, BSTR header,
                                                            BSTR* document) {
    MvStepFrame step("CMvCalculation::BuildProcessItemInformationDocument");
    *document = nullptr;
    auto fail = [&](const char* text, HRESULT hr) {
        SetError(text);
        return FAILED(hr) ? hr : E_FAIL;
    };
    mv::ComPtr<IXMLDOMDocument> doc;
    HRESULT hr = mv::CreateXmlDocument(doc.Put());
    if (FAILED(hr) || !doc) return fail("Quenbus: Failed to create XML DOM", hr);
    doc->put_preserveWhiteSpace(VARIANT_TRUE);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    hr = doc->loadXML(header, &loaded);
    if (FAILED(hr) || loaded != VARIANT_TRUE)
        return fail("Quenbus: Failed to load XML DOM with BPD Header", hr);
    mv::ComPtr<IXMLDOMElement> headerElement;
    hr = doc->get_documentElement(headerElement.Put());
    if (FAILED(hr) || !headerElement) return fail("Quenbus: Getting document element.", hr);

    mv::ComPtr<IXMLDOMNode> rootNode;
    hr = MakeElement(doc.get(), u"ProcessItemInformation", kItemNamespace, rootNode);
    if (FAILED(hr)) return fail("Quenbus: Error creating ProcessItemInformation node.", hr);
    mv::ComPtr<IXMLDOMElement> root;
    hr = rootNode->QueryInterface(IID_IXMLDOMElement, root.PutVoid());
    if (FAILED(hr))
        return fail("Quenbus: Error getting ProcessItemInformation element interface.", hr);
    hr = doc->putref_documentElement(root.get());
    if (FAILED(hr)) return fail("Quenbus: Error setting root node.", hr);

    // A declaration of the header's own goes, so that the document has
    // exactly one; the other nodes before the header's root (a comment, a
    // processing instruction) move, in their order, to just after the new
    // root, so that the declaration is the first node of the document.
    // Nodes after the header's root stay where they are.
    mv::ComPtr<IXMLDOMNodeList> children;
    doc->get_childNodes(children.Put());
    LONG count = 0;
    if (children) children->get_length(&count);
    std::vector<mv::ComPtr<IXMLDOMNode>> leading;
    mv::ComPtr<IXMLDOMNode> trailing;  // the first node after the root
    bool pastRoot = false;
    for (LONG i = 0; i < count; ++i) {
        mv::ComPtr<IXMLDOMNode> child;
        mv::Bstr name;
        DOMNodeType type = NODE_INVALID;
        if (children->get_item(i, child.Put()) != S_OK || FAILED(child->get_nodeType(&type)))
            continue;
        if (type == NODE_ELEMENT) {
            pastRoot = true;
        } else if (type == NODE_PROCESSING_INSTRUCTION &&
                   SUCCEEDED(MvThrowIfOutOfMemory(child->get_nodeName(name.Out()))) &&
                   name.view() == u"xml") {
            hr = doc->removeChild(child.get(), nullptr);
            if (FAILED(hr)) return fail("Quenbus: Error insert process instruction node.", hr);
            --i;
            --count;
        } else if (pastRoot) {
            if (!trailing) trailing = std::move(child);
        } else {
            leading.push_back(std::move(child));
        }
    }
    for (const auto& node : leading) {
        VARIANT after;
        VariantInit(&after);
        after.vt = trailing ? VT_UNKNOWN : VT_EMPTY;
        after.punkVal = trailing.get();
        hr = doc->insertBefore(node.get(), after, nullptr);
        if (FAILED(hr)) return fail("Quenbus: Error setting root node.", hr);
    }
    mv::ComPtr<IXMLDOMProcessingInstruction> declaration;
    hr = doc->createProcessingInstruction(mv::Bstr(u"xml").get(),
                                          mv::Bstr(u"version=\"1.0\"").get(), declaration.Put());
    if (FAILED(hr) || !declaration)
        return fail("Quenbus: Error creating process instruction node.", hr);
    VARIANT before;
    VariantInit(&before);
    before.vt = VT_UNKNOWN;
    before.punkVal = root.get();
    hr = doc->insertBefore(declaration.get(), before, nullptr);
    if (FAILED(hr)) return fail("Quenbus: Error insert process instruction node.", hr);
    hr = root->appendChild(headerElement.get(), nullptr);
    if (FAILED(hr)) return fail("Quenbus: Failed to append BPD Header.", hr);

    hr = BuildProcessItemInformationBody(record, doc.get(), root.get());
    if (FAILED(hr)) return hr;
    mv::Bstr text;
    hr = doc->get_xml(text.Out());
    if (FAILED(hr)) return fail("Quenbus: Failed to get XML text.", hr);
    *document = text.Detach();
    return S_OK;
}

void CMvCalculation::QuenbusBindingHandler(const MvBindingCall& call) {
    if (call.Record) call.Calculation->PublishResults(*call.Record, call.Level, call.Status);
}

void CMvCalculation::PublishResults(const ParamInfo& record, SHORT*, SHORT*) {
    constexpr const char* kName = "CMvCalculation::PublishResults";
    MvStepFrame step(kName);
    try {
        TaggedLockHolder lock(g_PublishLock, kTaggedLockSingle);
        if (!g_pBusAdapter) {
            HRESULT hr =
                CoCreateInstance(CLSID_MvQuenbusAdapter, nullptr, CLSCTX_ALL, IID_IMvAdapterControl,
                                 reinterpret_cast<void**>(&g_pBusAdapter));
            if (FAILED(hr) || !g_pBusAdapter) {
                g_pBusAdapter = nullptr;
                SetError("Failed to create Quenbus Adapter: " + std::to_string(hr));
                return;
            }
            auto dropAdapter = [] {
                if (IMvAdapterControl* adapter = std::exchange(g_pBusAdapter, nullptr))
                    adapter->Release();
            };
            mv::ComPtr<IMvAppMsgReceive> receiver;
            hr = CoCreateInstance(CLSID_MvCalcBPDReceiver, nullptr, CLSCTX_ALL,
                                  IID_IMvAppMsgReceive, receiver.PutVoid());
            if (FAILED(hr) || !receiver) {
                SetError("Failed to create Quenbus Receiver: " + std::to_string(hr));
                dropAdapter();
                return;
            }
            const mv::Bstr path(mv::JoinPath(g_BaseFolder.CStr(), kPropertiesFile));
            if (FAILED(g_pBusAdapter->Initialize(receiver.get(), path.get()))) {
                SetError("Failed to initialize Quenbus Adapter");
                dropAdapter();
                return;
            }
            hr = g_pBusAdapter->Start();
            if (FAILED(hr)) {
                SetError("Failed to start Quenbus Adapter: " + std::to_string(hr));
                dropAdapter();
                return;
            }
        }

        mv::ComPtr<IMvBPDHeader> headers;
        if (FAILED(g_pBusAdapter->QueryInterface(IID_IMvBPDHeader, headers.PutVoid())) ||
            !headers) {
            SetError("Failed to get IMvBPDHeader interface");
            return;
        }
        mv::Bstr header;
        if (FAILED(headers->PopulateHeader(header.Out()))) {
            SetError("Failed to populate BPD header");
            return;
        }
        mv::Bstr document;
        BuildProcessItemInformationDocument(record, header.get(), document.Out());
        if (document.Length() == 0) return;  // the builder recorded why
        mv::Bstr recordName;
        MvThrowIfOutOfMemory(record.Parameter->get_RecordName(recordName.Out()));
        mv::ComPtr<IMvAdapterMsgSend> sender;
        HRESULT hr = g_pBusAdapter->QueryInterface(IID_IMvAdapterMsgSend, sender.PutVoid());
        if (FAILED(hr) || !sender) {
            SetError("Failed to get IMvAdapterMsgSend interface: " +
                     std::to_string(FAILED(hr) ? hr : E_NOINTERFACE));
            return;
        }
        const mv::Bstr subject(kSubject);
        // The document goes by reference; the adapter may hand back another.
        // One that throws (out of memory) leaves it ours.
        BSTR sent = document.Detach();
        try {
            hr = sender->Publish(subject.get(), recordName.get(), &sent);
        } catch (...) {
            SysFreeString(sent);
            throw;
        }
        document = mv::Bstr::Attach(sent);
        if (SUCCEEDED(hr)) return;
        // The adapter's own description when it gives one; the code of the
        // call otherwise, so that a failure never leaves the text empty.
        mv::ComPtr<IErrorInfo> info;
        mv::Bstr description;
        if (SUCCEEDED(sender->QueryInterface(IID_IErrorInfo, info.PutVoid())) && info)
            info->GetDescription(description.Out());
        if (description.Length() != 0)
            SetError(description.Utf8());
        else
            SetError("Publish call failed on IMvAdapterMsgSend interface: " + std::to_string(hr));
    } catch (const std::bad_alloc&) {
        throw;  // the run fails: a part of the document was lost
    } catch (...) {
        MvLogErrorHr(kName, E_UNEXPECTED);
    }
}
