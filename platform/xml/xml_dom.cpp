// The document object model: a tree of nodes owned by their document, COM
// wrappers around them, loading through libxml2 and serialisation.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "xml.h"
#include "xml_types.h"

namespace {

using mv::CallGuarded;
using mv::ToUtf16;
using mv::ToUtf8;

constexpr char16_t kXmlnsNamespace[] = u"http://www.w3.org/2000/xmlns/";
constexpr char16_t kXmlNamespace[] = u"http://www.w3.org/XML/1998/namespace";
constexpr size_t kMaxDocumentBytes = 64u << 20;
constexpr size_t kMaxExpandedNodes = 4u << 20;

// IID under which a wrapper hands out its node, to recognise our own nodes.
MV_DEFINE_GUID(IID_MvXmlNodeData, 0x6D7C3A10, 0x51E2, 0x4B9A, 0x9C, 0x44, 0x2E, 0x1F, 0x70, 0x3B,
               0x8D, 0x05);

struct Core;
struct Node;
IXMLDOMNode* WrapperOf(Node* n);

struct Node {
    Core* core = nullptr;
    DOMNodeType type = NODE_INVALID;
    std::u16string name;    // qualified name, PI target
    std::u16string prefix;  // elements and attributes
    std::u16string local;
    std::u16string uri;
    std::u16string value;  // text, attribute value, comment, PI data
    Node* parent = nullptr;
    std::vector<Node*> children;
    std::vector<Node*> attributes;
    IXMLDOMNode* com = nullptr;  // owned by the core

    bool IsNamespaceDeclaration() const { return type == NODE_ATTRIBUTE && uri == kXmlnsNamespace; }
};

// Everything a document owns: nodes live until the last reference to any of
// them goes, so the tree needs no reference cycles.
struct Core {
    std::atomic<ULONG> refs{0};
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<std::unique_ptr<IUnknown, void (*)(IUnknown*)>> wrappers;
    Node* document = nullptr;
    bool preserveWhiteSpace = false;
    LONG errorCode = 0;
    std::u16string reason, srcText;
    LONG line = 0, linepos = 0;

    Node* NewNode(DOMNodeType type);
    ULONG AddRef() { return ++refs; }
    ULONG Release();
};

HRESULT OutBstr(std::u16string_view text, BSTR* out) {
    if (!out) return E_INVALIDARG;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::u16string_view View(BSTR b) {
    return {b ? b : u"", SysStringLen(b)};
}

Node* NodeOf(IUnknown* unknown) {
    if (!unknown) return nullptr;
    void* data = nullptr;
    if (FAILED(unknown->QueryInterface(IID_MvXmlNodeData, &data))) return nullptr;
    return static_cast<Node*>(data);
}

template <typename I>
HRESULT Hand(Node* n, I** out) {
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!n) return S_FALSE;
    IXMLDOMNode* w = WrapperOf(n);
    w->AddRef();
    *out = static_cast<I*>(w);
    return S_OK;
}

bool SplitQName(std::u16string_view qname, std::u16string* prefix, std::u16string* local) {
    const std::string utf8 = ToUtf8(qname);
    if (utf8.empty() || xmlValidateQName(reinterpret_cast<const xmlChar*>(utf8.c_str()), 0) != 0) {
        return false;
    }
    const size_t colon = qname.find(u':');
    *prefix = colon == std::u16string_view::npos ? u"" : std::u16string(qname.substr(0, colon));
    *local = std::u16string(colon == std::u16string_view::npos ? qname : qname.substr(colon + 1));
    return true;
}

void AppendText(const Node* n, std::u16string* out) {
    for (const Node* c : n->children) {
        if (c->type == NODE_TEXT || c->type == NODE_CDATA_SECTION) {
            *out += c->value;
        } else if (c->type == NODE_ELEMENT) {
            AppendText(c, out);
        }
    }
}

std::u16string TextOf(const Node* n) {
    if (n->type == NODE_ELEMENT || n->type == NODE_DOCUMENT) {
        std::u16string text;
        AppendText(n, &text);
        return text;
    }
    return n->value;
}

Node* AttributeByName(const Node* element, std::u16string_view name) {
    for (Node* a : element->attributes) {
        if (a->name == name) return a;
    }
    return nullptr;
}

Node* DataTypeAttribute(const Node* n) {
    if (n->type != NODE_ELEMENT) return nullptr;
    for (Node* a : n->attributes) {
        if (a->local == u"dt" && a->uri == mv::kXmlDataTypesNamespace) return a;
    }
    return nullptr;
}

// An attribute's value as text in `out`; none is VT_NULL and S_FALSE.
HRESULT AttributeValue(const Node* a, VARIANT* out) {
    if (!out) return E_INVALIDARG;
    VariantInit(out);
    if (!a) {
        out->vt = VT_NULL;
        return S_FALSE;
    }
    out->vt = VT_BSTR;
    out->bstrVal = SysAllocStringLen(a->value.data(), static_cast<UINT>(a->value.size()));
    return out->bstrVal ? S_OK : E_OUTOFMEMORY;
}

// Room for one more element, growing as push_back would.
template <typename T>
void MakeRoomForOne(std::vector<T>* items) {
    if (items->size() == items->capacity()) items->reserve(2 * items->capacity() + 8);
}

void Detach(Node* n) {
    if (!n->parent) return;
    auto& siblings = n->parent->children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), n));
    n->parent = nullptr;
}

// Tree rules: leaves take no children, a node never goes below itself, a
// document holds at most one element and no text.
HRESULT InsertChild(Node* parent, Node* child, Node* before) {
    if (!child || child->core != parent->core) return E_INVALIDARG;
    if (before && before->parent != parent) return E_INVALIDARG;
    if (parent->type != NODE_ELEMENT && parent->type != NODE_DOCUMENT) return E_FAIL;
    if (child->type == NODE_ATTRIBUTE || child->type == NODE_DOCUMENT) return E_FAIL;
    for (Node* a = parent; a; a = a->parent) {
        if (a == child) return E_FAIL;
    }
    if (parent->type == NODE_DOCUMENT) {
        if (child->type == NODE_TEXT || child->type == NODE_CDATA_SECTION) return E_FAIL;
        if (child->type == NODE_ELEMENT) {
            for (Node* c : parent->children) {
                if (c->type == NODE_ELEMENT && c != child) return E_FAIL;
            }
        }
    }
    if (before == child) return S_OK;
    auto& kids = parent->children;
    MakeRoomForOne(&kids);  // before the child leaves its place
    Detach(child);
    kids.insert(before ? std::find(kids.begin(), kids.end(), before) : kids.end(), child);
    child->parent = parent;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Serialisation
// ---------------------------------------------------------------------------
struct Scope {
    std::vector<std::pair<std::u16string, std::u16string>> bindings{{u"xml", kXmlNamespace},
                                                                    {u"", u""}};
    const std::u16string* Lookup(const std::u16string& prefix) const {
        for (auto it = bindings.rbegin(); it != bindings.rend(); ++it) {
            if (it->first == prefix) return &it->second;
        }
        return nullptr;
    }
};

void Escape(std::u16string_view text, bool attribute, std::u16string* out) {
    for (char16_t c : text) {
        switch (c) {
            case u'&':
                *out += u"&amp;";
                break;
            case u'<':
                *out += u"&lt;";
                break;
            case u'>':
                *out += u"&gt;";
                break;
            case u'"':
                *out += attribute ? u"&quot;" : u"\"";
                break;
            case u'\t':
                *out += attribute ? u"&#9;" : u"\t";
                break;
            case u'\n':
                *out += attribute ? u"&#10;" : u"\n";
                break;
            case u'\r':
                // Raw, a reload would turn it (and a CR LF) into LF.
                *out += u"&#13;";
                break;
            default:
                *out += c;
        }
    }
}

void Declare(const std::u16string& prefix, const std::u16string& uri, Scope* scope,
             std::u16string* out) {
    *out += prefix.empty() ? u" xmlns=\"" : u" xmlns:" + prefix + u"=\"";
    Escape(uri, true, out);
    *out += u'"';
    scope->bindings.emplace_back(prefix, uri);
}

// A prefixed name made without a namespace is written as given.
bool NeedsDeclaration(const Node* n, const Scope& scope) {
    if (!n->prefix.empty() && n->uri.empty()) return false;
    if (n->prefix == u"xml" || n->prefix == u"xmlns") return false;
    const std::u16string* bound = scope.Lookup(n->prefix);
    return !bound || *bound != n->uri;
}

void Write(const Node* n, Scope* scope, std::u16string* out) {
    switch (n->type) {
        case NODE_TEXT:
            Escape(n->value, false, out);
            return;
        case NODE_CDATA_SECTION:
            *out += u"<![CDATA[" + n->value + u"]]>";
            return;
        case NODE_COMMENT:
            *out += u"<!--" + n->value + u"-->";
            return;
        case NODE_PROCESSING_INSTRUCTION:
            *out += u"<?" + n->name + (n->value.empty() ? u"" : u" " + n->value) + u"?>";
            return;
        case NODE_ATTRIBUTE:
            *out += n->name + u"=\"";
            Escape(n->value, true, out);
            *out += u'"';
            return;
        case NODE_DOCUMENT:
            for (const Node* c : n->children) {
                Write(c, scope, out);
                *out += u"\r\n";
            }
            return;
        case NODE_ELEMENT:
            break;
        default:
            return;
    }
    const size_t mark = scope->bindings.size();
    *out += u'<' + n->name;
    for (const Node* a : n->attributes) {
        if (a->IsNamespaceDeclaration()) {
            scope->bindings.emplace_back(a->prefix.empty() ? u"" : a->local, a->value);
        }
    }
    if (NeedsDeclaration(n, *scope)) Declare(n->prefix, n->uri, scope, out);
    for (const Node* a : n->attributes) {
        if (!a->IsNamespaceDeclaration() && !a->prefix.empty() && NeedsDeclaration(a, *scope)) {
            Declare(a->prefix, a->uri, scope, out);
        }
        *out += u' ';
        Write(a, scope, out);
    }
    if (n->children.empty()) {
        *out += u"/>";
    } else {
        *out += u'>';
        for (const Node* c : n->children) Write(c, scope, out);
        *out += u"</" + n->name + u'>';
    }
    scope->bindings.resize(mark);
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------
std::u16string FromXml(const xmlChar* text) {
    return text ? ToUtf16(reinterpret_cast<const char*>(text)) : std::u16string();
}

bool IsBlank(std::u16string_view text) {
    for (char16_t c : text) {
        if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') return false;
    }
    return true;
}

// A namespace name as the document means it. The parser hands namespace
// names over as their attribute value stands after its first pass, where a
// `&` is still a reference ("&#38;", or an entity's "&name;"); they are
// decoded as attribute values are.
std::u16string NamespaceName(xmlDoc* doc, const xmlChar* href) {
    if (!href || !xmlStrchr(href, '&')) return FromXml(href);
    xmlNode* parts = xmlStringGetNodeList(doc, href);
    xmlChar* text = xmlNodeListGetString(doc, parts, 1);
    std::u16string name = FromXml(text);
    xmlFree(text);
    xmlFreeNodeList(parts);
    return name;
}

struct Loader {
    Core* core;
    size_t made = 0;
    bool refused = false;

    Node* Make(DOMNodeType type) {
        if (++made > kMaxExpandedNodes) {
            refused = true;
            return nullptr;
        }
        return core->NewNode(type);
    }

    void Add(Node* parent, Node* child) {
        child->parent = parent;
        parent->children.push_back(child);
    }

    void Convert(xmlNode* x, Node* parent, int depth) {
        for (; x && !refused; x = x->next) {
            switch (x->type) {
                case XML_ELEMENT_NODE: {
                    Node* e = Make(NODE_ELEMENT);
                    if (!e) return;
                    e->local = FromXml(x->name);
                    if (x->ns && x->ns->prefix) e->prefix = FromXml(x->ns->prefix);
                    // A prefix that nothing declares comes as part of the
                    // name; the element is then a prefixed name without a
                    // namespace, written as it stands.
                    const size_t colon = x->ns ? std::u16string::npos : e->local.find(u':');
                    if (colon != std::u16string::npos && colon > 0) {
                        e->prefix = e->local.substr(0, colon);
                        e->local.erase(0, colon + 1);
                    }
                    e->name = e->prefix.empty() ? e->local : e->prefix + u':' + e->local;
                    if (x->ns) e->uri = NamespaceName(x->doc, x->ns->href);
                    for (xmlNs* ns = x->nsDef; ns; ns = ns->next) {
                        Node* a = Make(NODE_ATTRIBUTE);
                        if (!a) return;
                        a->uri = kXmlnsNamespace;
                        if (ns->prefix) {
                            a->prefix = u"xmlns";
                            a->local = FromXml(ns->prefix);
                            a->name = u"xmlns:" + a->local;
                        } else {
                            a->local = a->name = u"xmlns";
                        }
                        a->value = NamespaceName(x->doc, ns->href);
                        a->parent = e;
                        e->attributes.push_back(a);
                    }
                    for (xmlAttr* p = x->properties; p; p = p->next) {
                        Node* a = Make(NODE_ATTRIBUTE);
                        if (!a) return;
                        a->local = FromXml(p->name);
                        if (p->ns && p->ns->prefix) a->prefix = FromXml(p->ns->prefix);
                        if (p->ns) a->uri = NamespaceName(x->doc, p->ns->href);
                        a->name = a->prefix.empty() ? a->local : a->prefix + u':' + a->local;
                        xmlChar* v = xmlNodeListGetString(x->doc, p->children, 1);
                        a->value = FromXml(v);
                        xmlFree(v);
                        a->parent = e;
                        e->attributes.push_back(a);
                    }
                    Add(parent, e);
                    Convert(x->children, e, depth + 1);
                    break;
                }
                case XML_TEXT_NODE:
                case XML_CDATA_SECTION_NODE:
                case XML_COMMENT_NODE: {
                    Node* t = Make(x->type == XML_TEXT_NODE            ? NODE_TEXT
                                   : x->type == XML_CDATA_SECTION_NODE ? NODE_CDATA_SECTION
                                                                       : NODE_COMMENT);
                    if (!t) return;
                    t->value = FromXml(x->content);
                    Add(parent, t);
                    break;
                }
                case XML_PI_NODE: {
                    Node* pi = Make(NODE_PROCESSING_INSTRUCTION);
                    if (!pi) return;
                    pi->name = pi->local = FromXml(x->name);
                    pi->value = FromXml(x->content);
                    Add(parent, pi);
                    break;
                }
                case XML_ENTITY_REF_NODE: {
                    // Internal entities are expanded in place; others refused.
                    auto* entity = reinterpret_cast<xmlEntity*>(x->children);
                    if (!entity || entity->etype != XML_INTERNAL_GENERAL_ENTITY || depth > 64) {
                        refused = true;
                        return;
                    }
                    if (entity->children) {
                        Convert(entity->children, parent, depth + 1);
                    } else if (entity->content) {
                        Node* t = Make(NODE_TEXT);
                        if (!t) return;
                        t->value = FromXml(entity->content);
                        Add(parent, t);
                    }
                    break;
                }
                default:
                    break;  // document type declarations and the like
            }
        }
    }

    // Drops blank text between elements, keeping a blank that is the only
    // child of its element.
    void DropBlanks(Node* n) {
        auto& kids = n->children;
        if (!(n->type == NODE_ELEMENT && kids.size() == 1)) {
            kids.erase(std::remove_if(kids.begin(), kids.end(),
                                      [](Node* c) {
                                          if (c->type != NODE_TEXT || !IsBlank(c->value))
                                              return false;
                                          c->parent = nullptr;
                                          return true;
                                      }),
                       kids.end());
        }
        for (Node* c : kids) DropBlanks(c);
    }
};

// The line of the text on which a parse error stands.
std::u16string LineOf(const std::string& text, int line) {
    size_t start = 0;
    for (int l = 1; l < line && start != std::string::npos; ++l) {
        start = text.find('\n', start);
        if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos || start > text.size()) return {};
    const size_t end = text.find('\n', start);
    return ToUtf16(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
}

HRESULT Load(Core* core, std::u16string_view xml) {
    Node* doc = core->document;
    for (Node* c : doc->children) c->parent = nullptr;
    doc->children.clear();
    core->errorCode = 0;
    core->reason.clear();
    core->srcText.clear();
    core->line = core->linepos = 0;

    const std::string text = ToUtf8(xml);
    auto fail = [&](const std::u16string& reason, int line, int column) {
        for (Node* c : doc->children) c->parent = nullptr;
        doc->children.clear();
        core->errorCode = E_FAIL;
        core->reason = reason;
        core->line = line;
        core->linepos = column;
        core->srcText = line > 0 ? LineOf(text, line) : std::u16string();
        return S_FALSE;
    };
    if (text.size() > kMaxDocumentBytes) return fail(u"The document is too large.", 0, 0);
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return fail(u"XML document must have a top level element.", 0, 0);
    }

    // Held until the end, whatever leaves: running out of memory included.
    const std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> context(xmlNewParserCtxt(),
                                                                             xmlFreeParserCtxt);
    xmlParserCtxtPtr ctxt = context.get();
    if (!ctxt) return E_OUTOFMEMORY;
    const std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)> document(
        xmlCtxtReadMemory(ctxt, text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                          XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
        xmlFreeDoc);
    xmlDocPtr parsed = document.get();
    if (!parsed || !ctxt->wellFormed) {
        const xmlError* e = xmlCtxtGetLastError(ctxt);
        std::u16string reason = e && e->message
                                    ? FromXml(reinterpret_cast<const xmlChar*>(e->message))
                                    : u"The document is not well-formed.";
        while (!reason.empty() && (reason.back() == u'\n' || reason.back() == u' '))
            reason.pop_back();
        const int line = e ? e->line : 0;
        const int column = e ? e->int2 : 0;
        return fail(reason, line, column);
    }

    Loader loader{core};
    const size_t lead = text.find_first_not_of(" \t\r\n");
    if (text.compare(lead, 5, "<?xml") == 0 && lead + 5 < text.size() &&
        (text[lead + 5] == ' ' || text[lead + 5] == '\t' || text[lead + 5] == '\r' ||
         text[lead + 5] == '\n' || text[lead + 5] == '?')) {
        Node* decl = loader.Make(NODE_PROCESSING_INSTRUCTION);
        decl->name = decl->local = u"xml";
        decl->value = u"version=\"" + (parsed->version ? FromXml(parsed->version) : u"1.0") + u"\"";
        if (parsed->standalone == 1) decl->value += u" standalone=\"yes\"";
        if (parsed->standalone == 0) decl->value += u" standalone=\"no\"";
        loader.Add(doc, decl);
    }
    loader.Convert(parsed->children, doc, 0);
    if (loader.refused) {
        return fail(u"The document uses an external entity or expands beyond the size limit.", 0,
                    0);
    }
    if (!core->preserveWhiteSpace) loader.DropBlanks(doc);
    return S_OK;
}

// ---------------------------------------------------------------------------
// COM wrappers
// ---------------------------------------------------------------------------
// The wrappers are reached through their vtables only: no type information,
// and late-bound calls are refused.
template <typename I>
class NoDispatch : public I {
public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (!count) return E_INVALIDARG;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

template <typename I>
class NodeCom : public NoDispatch<I> {
public:
    explicit NodeCom(Node* n) : n_(n) {}
    virtual ~NodeCom() = default;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_MvXmlNodeData) {
            *ppv = n_;
            return S_OK;
        }
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IXMLDOMNode ||
            (riid == IID_IXMLDOMElement && n_->type == NODE_ELEMENT) ||
            (riid == IID_IXMLDOMDocument && n_->type == NODE_DOCUMENT) ||
            (riid == IID_IXMLDOMText && n_->type == NODE_TEXT) ||
            (riid == IID_IXMLDOMAttribute && n_->type == NODE_ATTRIBUTE) ||
            (riid == IID_IXMLDOMComment && n_->type == NODE_COMMENT) ||
            (riid == IID_IXMLDOMProcessingInstruction && n_->type == NODE_PROCESSING_INSTRUCTION)) {
            *ppv = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return n_->core->AddRef(); }
    ULONG Release() override { return n_->core->Release(); }

    HRESULT get_nodeName(BSTR* out) override {
        switch (n_->type) {
            case NODE_TEXT:
                return OutBstr(u"#text", out);
            case NODE_CDATA_SECTION:
                return OutBstr(u"#cdata-section", out);
            case NODE_COMMENT:
                return OutBstr(u"#comment", out);
            case NODE_DOCUMENT:
                return OutBstr(u"#document", out);
            default:
                return OutBstr(n_->name, out);
        }
    }
    HRESULT get_nodeType(DOMNodeType* out) override {
        if (!out) return E_INVALIDARG;
        *out = n_->type;
        return S_OK;
    }
    HRESULT get_childNodes(IXMLDOMNodeList** out) override;
    HRESULT get_attributes(IXMLDOMNamedNodeMap** out) override;
    HRESULT insertBefore(IXMLDOMNode* child, VARIANT ref, IXMLDOMNode** out) override {
        return CallGuarded([&]() -> HRESULT {
            if (out) *out = nullptr;
            Node* before = nullptr;
            if (ref.vt == VT_UNKNOWN || ref.vt == VT_DISPATCH) {
                before = NodeOf(ref.punkVal);
                if (ref.punkVal && !before) return E_INVALIDARG;
            } else if (ref.vt != VT_EMPTY && ref.vt != VT_NULL) {
                return E_INVALIDARG;
            }
            Node* c = NodeOf(child);
            const HRESULT hr = InsertChild(n_, c, before);
            if (FAILED(hr) || !out) return hr;
            return Hand(c, out);
        });
    }
    HRESULT appendChild(IXMLDOMNode* child, IXMLDOMNode** out) override {
        return CallGuarded([&]() -> HRESULT {
            VARIANT none;
            VariantInit(&none);
            return insertBefore(child, none, out);
        });
    }
    HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** out) override {
        return CallGuarded([&]() -> HRESULT {
            if (out) *out = nullptr;
            Node* c = NodeOf(child);
            if (!c || c->parent != n_) return E_INVALIDARG;
            Detach(c);
            return out ? Hand(c, out) : S_OK;
        });
    }
    HRESULT get_ownerDocument(IXMLDOMDocument** out) override {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (n_->type == NODE_DOCUMENT) return S_FALSE;
        return Hand(n_->core->document, out);
    }
    HRESULT get_text(BSTR* out) override {
        return CallGuarded([&]() -> HRESULT { return OutBstr(TextOf(n_), out); });
    }
    HRESULT put_text(BSTR text) override {
        return CallGuarded([&]() -> HRESULT { return PutText(View(text)); });
    }
    HRESULT get_nodeTypedValue(VARIANT* out) override {
        return CallGuarded([&]() -> HRESULT {
            if (!out) return E_INVALIDARG;
            VariantInit(out);
            const Node* dt = DataTypeAttribute(n_);
            if (!dt) {
                if (n_->type == NODE_DOCUMENT) {
                    out->vt = VT_NULL;
                    return S_FALSE;
                }
                const std::u16string text = TextOf(n_);
                out->vt = VT_BSTR;
                out->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
                return out->bstrVal ? S_OK : E_OUTOFMEMORY;
            }
            if (n_->children.empty()) {
                out->vt = VT_NULL;
                return S_OK;
            }
            return mv::xmltypes::TextToValue(dt->value, TextOf(n_), out);
        });
    }
    HRESULT put_nodeTypedValue(VARIANT value) override {
        return CallGuarded([&]() -> HRESULT {
            const Node* dt = DataTypeAttribute(n_);
            std::u16string text;
            const HRESULT hr = dt ? mv::xmltypes::ValueToText(dt->value, value, &text)
                                  : mv::xmltypes::PlainText(value, &text);
            if (FAILED(hr)) return hr;
            return PutText(text);
        });
    }
    HRESULT get_dataType(VARIANT* out) override {
        return CallGuarded([&] { return AttributeValue(DataTypeAttribute(n_), out); });
    }
    HRESULT put_dataType(BSTR type) override {
        return CallGuarded([&]() -> HRESULT {
            const std::u16string_view name = View(type);
            if (n_->type != NODE_ELEMENT || !mv::xmltypes::IsKnownDataType(name)) return E_FAIL;
            if (!n_->children.empty()) {  // the present content must be a value of the type
                mv::Variant check;
                if (FAILED(mv::xmltypes::TextToValue(name, TextOf(n_), &check))) return E_FAIL;
            }
            Node* dt = DataTypeAttribute(n_);
            if (!dt) {
                dt = n_->core->NewNode(NODE_ATTRIBUTE);
                dt->prefix = u"dt";
                dt->local = u"dt";
                dt->name = u"dt:dt";
                dt->uri = mv::kXmlDataTypesNamespace;
                dt->parent = n_;
                n_->attributes.push_back(dt);
            }
            dt->value = std::u16string(name);
            return S_OK;
        });
    }
    HRESULT get_xml(BSTR* out) override {
        return CallGuarded([&]() -> HRESULT {
            Scope scope;
            std::u16string text;
            Write(n_, &scope, &text);
            return OutBstr(text, out);
        });
    }
    HRESULT get_namespaceURI(BSTR* out) override { return OutBstr(n_->uri, out); }
    HRESULT get_baseName(BSTR* out) override {
        const bool named = n_->type == NODE_ELEMENT || n_->type == NODE_ATTRIBUTE ||
                           n_->type == NODE_PROCESSING_INSTRUCTION;
        return OutBstr(named ? n_->local : u"", out);
    }

protected:
    HRESULT PutText(std::u16string_view text) {
        if (n_->type == NODE_DOCUMENT) return E_FAIL;
        if (n_->type != NODE_ELEMENT) {
            n_->value = std::u16string(text);
            return S_OK;
        }
        for (Node* c : n_->children) c->parent = nullptr;
        n_->children.clear();
        if (!text.empty()) {
            Node* t = n_->core->NewNode(NODE_TEXT);
            t->value = std::u16string(text);
            t->parent = n_;
            n_->children.push_back(t);
        }
        return S_OK;
    }

    Node* n_;
};

class ElementCom final : public NodeCom<IXMLDOMElement> {
public:
    using NodeCom::NodeCom;

    HRESULT getAttribute(BSTR name, VARIANT* out) override {
        return CallGuarded([&] {
            return AttributeValue(
                n_->type == NODE_ELEMENT ? AttributeByName(n_, View(name)) : nullptr, out);
        });
    }
    HRESULT setAttribute(BSTR name, VARIANT value) override {
        return CallGuarded([&]() -> HRESULT {
            if (n_->type != NODE_ELEMENT) return E_FAIL;
            std::u16string text;
            const HRESULT hr = mv::xmltypes::PlainText(value, &text);
            if (FAILED(hr)) return hr;
            Node* a = AttributeByName(n_, View(name));
            if (!a) {
                std::u16string prefix, local;
                if (!SplitQName(View(name), &prefix, &local) && View(name) != u"xmlns")
                    return E_FAIL;
                a = n_->core->NewNode(NODE_ATTRIBUTE);
                a->name = std::u16string(View(name));
                if (a->name == u"xmlns" || prefix == u"xmlns") {
                    a->uri = kXmlnsNamespace;
                    a->prefix = prefix;
                    a->local = prefix.empty() ? a->name : local;
                } else {
                    a->prefix = prefix;
                    a->local = local;
                }
                a->parent = n_;
                n_->attributes.push_back(a);
            }
            a->value = std::move(text);
            return S_OK;
        });
    }
};

// A live view of a node's children or attributes.
class ListCom final : public NoDispatch<IXMLDOMNodeList>, public NoDispatch<IXMLDOMNamedNodeMap> {
public:
    ListCom(Node* owner, bool attributes) : owner_(owner), attributes_(attributes) {
        owner_->core->AddRef();
    }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch ||
            (riid == IID_IXMLDOMNodeList && !attributes_)) {
            *ppv = static_cast<IXMLDOMNodeList*>(this);
        } else if (riid == IID_IXMLDOMNamedNodeMap && attributes_) {
            *ppv = static_cast<IXMLDOMNamedNodeMap*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            Core* core = owner_->core;
            delete this;
            core->Release();
        }
        return left;
    }
    HRESULT get_item(LONG index, IXMLDOMNode** out) override {
        return CallGuarded([&]() -> HRESULT {
            const auto& items = Items();
            Node* n =
                index >= 0 && static_cast<size_t>(index) < items.size() ? items[index] : nullptr;
            return Hand(n, out);
        });
    }
    HRESULT get_length(LONG* out) override {
        return CallGuarded([&]() -> HRESULT {
            if (!out) return E_INVALIDARG;
            *out = static_cast<LONG>(Items().size());
            return S_OK;
        });
    }
    HRESULT nextNode(IXMLDOMNode** out) override {
        return CallGuarded([&]() -> HRESULT { return get_item(cursor_++, out); });
    }
    HRESULT reset() override {
        cursor_ = 0;
        return S_OK;
    }
    HRESULT getNamedItem(BSTR name, IXMLDOMNode** out) override {
        return CallGuarded(
            [&]() -> HRESULT { return Hand(AttributeByName(owner_, View(name)), out); });
    }

private:
    const std::vector<Node*>& Items() const {
        return attributes_ ? owner_->attributes : owner_->children;
    }
    std::atomic<ULONG> refs_{1};
    Node* owner_;
    bool attributes_;
    LONG cursor_ = 0;
};

template <typename I>
HRESULT NodeCom<I>::get_childNodes(IXMLDOMNodeList** out) {
    return CallGuarded([&]() -> HRESULT {
        if (!out) return E_INVALIDARG;
        *out = new ListCom(n_, false);
        return S_OK;
    });
}

template <typename I>
HRESULT NodeCom<I>::get_attributes(IXMLDOMNamedNodeMap** out) {
    return CallGuarded([&]() -> HRESULT {
        if (!out) return E_INVALIDARG;
        *out = nullptr;
        if (n_->type != NODE_ELEMENT) return S_FALSE;
        *out = new ListCom(n_, true);
        return S_OK;
    });
}

class ParseErrorCom final : public NoDispatch<IXMLDOMParseError> {
public:
    explicit ParseErrorCom(const Core& c)
        : code_(c.errorCode), reason_(c.reason), src_(c.srcText), line_(c.line), pos_(c.linepos) {}

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != IID_IXMLDOMParseError) {
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }
    HRESULT get_errorCode(LONG* out) override { return Long(code_, out); }
    HRESULT get_reason(BSTR* out) override { return OutBstr(reason_, out); }
    HRESULT get_srcText(BSTR* out) override { return OutBstr(src_, out); }
    HRESULT get_line(LONG* out) override { return Long(line_, out); }
    HRESULT get_linepos(LONG* out) override { return Long(pos_, out); }

private:
    static HRESULT Long(LONG v, LONG* out) {
        if (!out) return E_INVALIDARG;
        *out = v;
        return S_OK;
    }
    std::atomic<ULONG> refs_{1};
    LONG code_;
    std::u16string reason_, src_;
    LONG line_, pos_;
};

class DocumentCom final : public NodeCom<IXMLDOMDocument> {
public:
    using NodeCom::NodeCom;

    HRESULT get_documentElement(IXMLDOMElement** out) override {
        for (Node* c : n_->children) {
            if (c->type == NODE_ELEMENT) return Hand(c, out);
        }
        return Hand(static_cast<Node*>(nullptr), out);
    }
    HRESULT putref_documentElement(IXMLDOMElement* element) override {
        return CallGuarded([&]() -> HRESULT {
            Node* e = NodeOf(element);
            if (!e || e->core != n_->core || e->type != NODE_ELEMENT) return E_INVALIDARG;
            for (Node* a = n_; a; a = a->parent) {
                if (a == e) return E_FAIL;
            }
            for (Node*& c : n_->children) {
                if (c->type != NODE_ELEMENT) continue;
                if (c == e) return S_OK;
                Node* old = c;
                Detach(e);
                // Detaching e cannot move the old element: e was not a child here.
                auto it = std::find(n_->children.begin(), n_->children.end(), old);
                *it = e;
                e->parent = n_;
                old->parent = nullptr;
                return S_OK;
            }
            return InsertChild(n_, e, nullptr);
        });
    }
    HRESULT createElement(BSTR name, IXMLDOMElement** out) override {
        return CallGuarded([&]() -> HRESULT {
            VARIANT type;
            VariantInit(&type);
            type.vt = VT_I4;
            type.lVal = NODE_ELEMENT;
            IXMLDOMNode* node = nullptr;
            if (out) *out = nullptr;
            const HRESULT hr = createNode(type, name, nullptr, out ? &node : nullptr);
            if (out) *out = static_cast<IXMLDOMElement*>(node);
            return hr;
        });
    }
    HRESULT createTextNode(BSTR data, IXMLDOMText** out) override {
        return CallGuarded([&]() -> HRESULT {
            Node* t = n_->core->NewNode(NODE_TEXT);
            t->value = std::u16string(View(data));
            return Hand(t, out);
        });
    }
    HRESULT createProcessingInstruction(BSTR target, BSTR data,
                                        IXMLDOMProcessingInstruction** out) override {
        return CallGuarded([&]() -> HRESULT {
            std::u16string prefix, local;
            if (!SplitQName(View(target), &prefix, &local) || !prefix.empty()) return E_FAIL;
            Node* pi = n_->core->NewNode(NODE_PROCESSING_INSTRUCTION);
            pi->name = pi->local = local;
            pi->value = std::u16string(View(data));
            return Hand(pi, out);
        });
    }
    HRESULT createNode(VARIANT type, BSTR name, BSTR uri, IXMLDOMNode** out) override {
        return CallGuarded([&]() -> HRESULT {
            if (!out) return E_INVALIDARG;
            *out = nullptr;
            const DOMNodeType kind = KindOf(type);
            Node* n = nullptr;
            switch (kind) {
                case NODE_ELEMENT:
                case NODE_ATTRIBUTE: {
                    std::u16string prefix, local;
                    if (!SplitQName(View(name), &prefix, &local)) return E_FAIL;
                    n = n_->core->NewNode(kind);
                    n->name = std::u16string(View(name));
                    n->prefix = prefix;
                    n->local = local;
                    n->uri = std::u16string(View(uri));
                    if (kind == NODE_ATTRIBUTE && (n->name == u"xmlns" || prefix == u"xmlns")) {
                        n->uri = kXmlnsNamespace;
                    }
                    break;
                }
                case NODE_TEXT:
                case NODE_CDATA_SECTION:
                case NODE_COMMENT:
                    n = n_->core->NewNode(kind);
                    break;
                case NODE_PROCESSING_INSTRUCTION:
                    return createProcessingInstruction(name, nullptr, out);
                default:
                    return E_INVALIDARG;
            }
            return Hand(n, out);
        });
    }
    HRESULT loadXML(BSTR xml, VARIANT_BOOL* ok) override {
        if (ok) *ok = VARIANT_FALSE;
        const HRESULT hr = CallGuarded([&] { return Load(n_->core, View(xml)); });
        if (FAILED(hr)) {
            // A load stopped halfway leaves an empty document.
            for (Node* c : n_->children) c->parent = nullptr;
            n_->children.clear();
        }
        if (ok) *ok = hr == S_OK ? VARIANT_TRUE : VARIANT_FALSE;
        return hr;
    }
    HRESULT get_parseError(IXMLDOMParseError** out) override {
        return CallGuarded([&]() -> HRESULT {
            if (!out) return E_INVALIDARG;
            *out = new ParseErrorCom(*n_->core);
            return S_OK;
        });
    }
    HRESULT get_preserveWhiteSpace(VARIANT_BOOL* out) override {
        if (!out) return E_INVALIDARG;
        *out = n_->core->preserveWhiteSpace ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_preserveWhiteSpace(VARIANT_BOOL preserve) override {
        n_->core->preserveWhiteSpace = preserve != VARIANT_FALSE;
        return S_OK;
    }

private:
    static DOMNodeType KindOf(const VARIANT& type) {
        if (type.vt == VT_BSTR) {
            static const struct {
                const char16_t* name;
                DOMNodeType type;
            } names[] = {{u"element", NODE_ELEMENT},
                         {u"attribute", NODE_ATTRIBUTE},
                         {u"text", NODE_TEXT},
                         {u"cdatasection", NODE_CDATA_SECTION},
                         {u"processinginstruction", NODE_PROCESSING_INSTRUCTION},
                         {u"comment", NODE_COMMENT}};
            for (const auto& n : names) {
                if (View(type.bstrVal) == n.name) return n.type;
            }
            return NODE_INVALID;
        }
        mv::Variant number;
        if (FAILED(VariantChangeTypeEx(&number, &type, LCID_EN_US, 0, VT_I4))) return NODE_INVALID;
        return static_cast<DOMNodeType>(number.lVal);
    }
};

template <typename T>
void DeleteWrapper(IUnknown* w) {
    delete static_cast<T*>(w);
}

// Every allocation comes before the node is filed, so that running out of
// memory leaves the document as it was.
Node* Core::NewNode(DOMNodeType type) {
    MakeRoomForOne(&nodes);
    MakeRoomForOne(&wrappers);
    auto node = std::make_unique<Node>();
    node->core = this;
    node->type = type;
    if (type == NODE_DOCUMENT) {
        auto* w = new DocumentCom(node.get());
        wrappers.emplace_back(static_cast<IXMLDOMDocument*>(w), &DeleteWrapper<DocumentCom>);
        node->com = w;
    } else {
        auto* w = new ElementCom(node.get());
        wrappers.emplace_back(static_cast<IXMLDOMElement*>(w), &DeleteWrapper<ElementCom>);
        node->com = w;
    }
    nodes.push_back(std::move(node));
    return nodes.back().get();
}

ULONG Core::Release() {
    const ULONG left = --refs;
    if (left == 0) delete this;
    return left;
}

IXMLDOMNode* WrapperOf(Node* n) {
    return n->com;
}

}  // namespace

namespace mv {

HRESULT CreateXmlDocument(IXMLDOMDocument** document) {
    if (!document) return E_POINTER;
    *document = nullptr;
    xmlInitParser();
    auto* core = new (std::nothrow) Core;
    if (!core) return E_OUTOFMEMORY;
    const HRESULT hr = CallGuarded([&] {
        core->document = core->NewNode(NODE_DOCUMENT);
        return Hand(core->document, document);
    });
    if (FAILED(hr)) delete core;
    return hr;
}

}  // namespace mv
