// XML document object model: documents, nodes, elements, node lists,
// attribute maps and parse errors, with typed values in the datatypes
// namespace. Reference counted; every node keeps its whole document alive.
//
// Serialisation (`get_xml`):
// - a document writes each top-level node followed by CR LF; a node writes
//   itself alone, without an XML declaration;
// - a namespace is declared on the element where it is first used (an
//   element, or the attribute that needs it, e.g.
//   `<v xmlns:dt="urn:schemas-microsoft-com:datatypes" dt:dt="r8">2.5</v>`);
//   an unprefixed element without a namespace inside a default namespace
//   gets `xmlns=""`; a prefixed name created without a namespace is written
//   as it was given, with no declaration;
// - an element without children is written `<a/>`; attribute values stand in
//   double quotes;
// - text escapes & < > and writes CR as `&#13;`, so that a CR (and a CR LF)
//   survives the line-end normalisation of a reload; LF is written as it is;
//   attribute values escape & < > " and also TAB, LF and CR as character
//   references, so that they survive the attribute-value normalisation of a
//   reload;
// - nothing is indented or added.
// Loading (`loadXML`): line ends CR LF and lone CR become LF, as every XML
// parser does; a CR written as `&#13;` stays. Namespace names are decoded as
// attribute values are (`xmlns="a&amp;b"` names "a&b"); an element whose
// prefix nothing declares keeps that prefix and has no namespace. Unless
// preserveWhiteSpace is on, a text node of blanks only is dropped except when
// it is the only child of its element. The encoding of an XML declaration is
// ignored (the text is already Unicode) and dropped from the declaration
// node. Internal entities are expanded; external entities and documents
// larger than 64 MiB are refused.
#pragma once

#include "oleaut.h"

enum DOMNodeType {
    NODE_INVALID = 0,
    NODE_ELEMENT = 1,
    NODE_ATTRIBUTE = 2,
    NODE_TEXT = 3,
    NODE_CDATA_SECTION = 4,
    NODE_ENTITY_REFERENCE = 5,
    NODE_ENTITY = 6,
    NODE_PROCESSING_INSTRUCTION = 7,
    NODE_COMMENT = 8,
    NODE_DOCUMENT = 9,
    NODE_DOCUMENT_TYPE = 10,
    NODE_DOCUMENT_FRAGMENT = 11,
    NODE_NOTATION = 12
};

#define MV_XML_IID(name, l) \
    MV_DEFINE_GUID(name, l, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)
MV_XML_IID(IID_IXMLDOMNode, 0x2933BF80);
MV_XML_IID(IID_IXMLDOMDocument, 0x2933BF81);
MV_XML_IID(IID_IXMLDOMNodeList, 0x2933BF82);
MV_XML_IID(IID_IXMLDOMNamedNodeMap, 0x2933BF83);
MV_XML_IID(IID_IXMLDOMAttribute, 0x2933BF85);
MV_XML_IID(IID_IXMLDOMElement, 0x2933BF86);
MV_XML_IID(IID_IXMLDOMText, 0x2933BF87);
MV_XML_IID(IID_IXMLDOMComment, 0x2933BF88);
MV_XML_IID(IID_IXMLDOMProcessingInstruction, 0x2933BF89);
MV_XML_IID(CLSID_DOMDocument, 0x2933BF90);
#undef MV_XML_IID
MV_DEFINE_GUID(IID_IXMLDOMParseError, 0x3EFAA426, 0x272F, 0x11D2, 0x83, 0x6F, 0x00, 0x00, 0xF8,
               0x7A, 0x77, 0x82);

struct IXMLDOMDocument;
struct IXMLDOMNodeList;
struct IXMLDOMNamedNodeMap;

// Nodes answer IDispatch only as far as a VARIANT needs to carry them:
// GetTypeInfoCount gives 0 and the other dispatch calls E_NOTIMPL.
struct IXMLDOMNode : IDispatch {
    virtual HRESULT get_nodeName(BSTR* name) = 0;
    virtual HRESULT get_nodeType(DOMNodeType* type) = 0;
    virtual HRESULT get_childNodes(IXMLDOMNodeList** children) = 0;
    // Null for every node but an element.
    virtual HRESULT get_attributes(IXMLDOMNamedNodeMap** attributes) = 0;
    // refChild empty or null appends; else a VT_UNKNOWN/VT_DISPATCH child.
    virtual HRESULT insertBefore(IXMLDOMNode* newChild, VARIANT refChild,
                                 IXMLDOMNode** outNewChild) = 0;
    virtual HRESULT appendChild(IXMLDOMNode* newChild, IXMLDOMNode** outNewChild) = 0;
    // The document itself has none (S_FALSE and null).
    virtual HRESULT get_ownerDocument(IXMLDOMDocument** document) = 0;
    virtual HRESULT get_text(BSTR* text) = 0;
    virtual HRESULT put_text(BSTR text) = 0;
    virtual HRESULT get_nodeTypedValue(VARIANT* value) = 0;
    virtual HRESULT put_nodeTypedValue(VARIANT value) = 0;
    // VT_BSTR with the data type name, or VT_NULL and S_FALSE without one.
    virtual HRESULT get_dataType(VARIANT* dataType) = 0;
    virtual HRESULT put_dataType(BSTR dataType) = 0;
    virtual HRESULT get_xml(BSTR* xml) = 0;
    virtual HRESULT get_namespaceURI(BSTR* uri) = 0;
    virtual HRESULT get_baseName(BSTR* name) = 0;
    // Takes a child out of this node; E_INVALIDARG when it is no child here.
    virtual HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** outOldChild) = 0;

protected:
    ~IXMLDOMNode() = default;
};

// Text, attribute, comment and processing-instruction nodes add nothing to
// the node calls that this layer offers.
using IXMLDOMText = IXMLDOMNode;
using IXMLDOMAttribute = IXMLDOMNode;
using IXMLDOMComment = IXMLDOMNode;
using IXMLDOMProcessingInstruction = IXMLDOMNode;

struct IXMLDOMElement : IXMLDOMNode {
    // S_OK and VT_BSTR when present; S_FALSE and VT_NULL when not.
    virtual HRESULT getAttribute(BSTR name, VARIANT* value) = 0;
    // The value is written as its text: VT_BOOL as "-1" or "0" (the
    // automation conversion without the alphabetic-boolean flag, which reads
    // back to the same boolean), other types converted to VT_BSTR in en-US.
    virtual HRESULT setAttribute(BSTR name, VARIANT value) = 0;

protected:
    ~IXMLDOMElement() = default;
};

struct IXMLDOMNodeList : IDispatch {
    // Out of range: S_FALSE and null.
    virtual HRESULT get_item(LONG index, IXMLDOMNode** item) = 0;
    virtual HRESULT get_length(LONG* length) = 0;
    virtual HRESULT nextNode(IXMLDOMNode** next) = 0;
    virtual HRESULT reset() = 0;

protected:
    ~IXMLDOMNodeList() = default;
};

struct IXMLDOMNamedNodeMap : IDispatch {
    virtual HRESULT getNamedItem(BSTR name, IXMLDOMNode** item) = 0;
    virtual HRESULT get_item(LONG index, IXMLDOMNode** item) = 0;
    virtual HRESULT get_length(LONG* length) = 0;
    virtual HRESULT nextNode(IXMLDOMNode** next) = 0;
    virtual HRESULT reset() = 0;

protected:
    ~IXMLDOMNamedNodeMap() = default;
};

struct IXMLDOMParseError : IDispatch {
    // 0 after a successful load; E_FAIL after a failed one.
    virtual HRESULT get_errorCode(LONG* code) = 0;
    virtual HRESULT get_reason(BSTR* reason) = 0;  // the parser's message
    virtual HRESULT get_srcText(BSTR* text) = 0;   // the line of the error
    virtual HRESULT get_line(LONG* line) = 0;
    virtual HRESULT get_linepos(LONG* position) = 0;

protected:
    ~IXMLDOMParseError() = default;
};

struct IXMLDOMDocument : IXMLDOMNode {
    virtual HRESULT get_documentElement(IXMLDOMElement** element) = 0;
    // Replaces the document element in place, or appends it when none.
    virtual HRESULT putref_documentElement(IXMLDOMElement* element) = 0;
    virtual HRESULT createElement(BSTR tagName, IXMLDOMElement** element) = 0;
    virtual HRESULT createTextNode(BSTR data, IXMLDOMText** text) = 0;
    virtual HRESULT createProcessingInstruction(BSTR target, BSTR data,
                                                IXMLDOMProcessingInstruction** pi) = 0;
    // type: a DOMNodeType number (element, attribute, text, CDATA, processing
    // instruction, comment) or its name ("element", "attribute", ...).
    virtual HRESULT createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) = 0;
    // S_OK and VARIANT_TRUE, or S_FALSE and VARIANT_FALSE with the reason in
    // parseError and the document left empty.
    virtual HRESULT loadXML(BSTR xml, VARIANT_BOOL* isSuccessful) = 0;
    virtual HRESULT get_parseError(IXMLDOMParseError** error) = 0;
    virtual HRESULT get_preserveWhiteSpace(VARIANT_BOOL* preserve) = 0;
    virtual HRESULT put_preserveWhiteSpace(VARIANT_BOOL preserve) = 0;

protected:
    ~IXMLDOMDocument() = default;
};

namespace mv {

// The namespace of the `dt:dt` data type attribute.
constexpr const char16_t* kXmlDataTypesNamespace = u"urn:schemas-microsoft-com:datatypes";

// A new, empty document (the class object of CLSID_DOMDocument creates its
// instances with this).
HRESULT CreateXmlDocument(IXMLDOMDocument** document);

}  // namespace mv
