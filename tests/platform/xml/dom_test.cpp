#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "xml.h"

namespace {

// Owns one interface reference.
template <typename I>
class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p_) p_->Release();
    }
    I** Out() { return &p_; }
    I* operator->() const { return p_; }
    I* get() const { return p_; }

private:
    I* p_ = nullptr;
};

mv::Bstr B(const char16_t* s) {
    return mv::Bstr(std::u16string_view(s));
}

std::u16string Xml(IXMLDOMNode* n) {
    mv::Bstr text;
    EXPECT_EQ(n->get_xml(text.Out()), S_OK);
    return std::u16string(text.view());
}

class DomTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(mv::CreateXmlDocument(doc_.Out()), S_OK); }

    // An element with a data type holding a typed value.
    void TypedElement(const char16_t* type, const VARIANT& value, Ref<IXMLDOMElement>* e) {
        ASSERT_EQ(doc_->createElement(B(u"v").get(), e->Out()), S_OK);
        ASSERT_EQ((*e)->put_dataType(B(type).get()), S_OK) << mv::ToUtf8(type);
        ASSERT_EQ((*e)->put_nodeTypedValue(value), S_OK) << mv::ToUtf8(type);
    }

    Ref<IXMLDOMDocument> doc_;
};

mv::Variant Make(VARTYPE vt, double number) {
    mv::Variant v;
    v.vt = vt;
    switch (vt) {
        case VT_I1:
            v.cVal = static_cast<CHAR>(number);
            break;
        case VT_I2:
            v.iVal = static_cast<SHORT>(number);
            break;
        case VT_I4:
            v.lVal = static_cast<LONG>(number);
            break;
        case VT_UI1:
            v.bVal = static_cast<BYTE>(number);
            break;
        case VT_UI2:
            v.uiVal = static_cast<USHORT>(number);
            break;
        case VT_UI4:
            v.ulVal = static_cast<ULONG>(number);
            break;
        case VT_R4:
            v.fltVal = static_cast<FLOAT>(number);
            break;
        case VT_R8:
            v.dblVal = number;
            break;
        case VT_BOOL:
            v.boolVal = number != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_DATE:
            v.date = number;
            break;
        default:
            ADD_FAILURE() << "type " << vt;
    }
    return v;
}

bool SameValue(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    switch (a.vt) {
        case VT_I1:
            return a.cVal == b.cVal;
        case VT_I2:
            return a.iVal == b.iVal;
        case VT_I4:
            return a.lVal == b.lVal;
        case VT_UI1:
            return a.bVal == b.bVal;
        case VT_UI2:
            return a.uiVal == b.uiVal;
        case VT_UI4:
            return a.ulVal == b.ulVal;
        case VT_R4:
            return a.fltVal == b.fltVal;
        case VT_R8:
            return a.dblVal == b.dblVal || (std::isnan(a.dblVal) && std::isnan(b.dblVal));
        case VT_BOOL:
            return a.boolVal == b.boolVal;
        case VT_DATE:
            return std::fabs(a.date - b.date) < 1e-9;
        case VT_BSTR:
            return mv::Bstr(a.bstrVal).view() == mv::Bstr(b.bstrVal).view();
        default:
            return false;
    }
}

TEST_F(DomTest, TypedValuesRoundTripThroughTheirCanonicalText) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char16_t* type;
        mv::Variant value;
        const char16_t* text;
    } cases[] = {
        {u"i1", Make(VT_I1, -128), u"-128"},
        {u"i2", Make(VT_I2, -32768), u"-32768"},
        {u"i4", Make(VT_I4, 2147483647), u"2147483647"},
        {u"i4", Make(VT_I4, -5), u"-5"},
        {u"ui1", Make(VT_UI1, 255), u"255"},
        {u"ui2", Make(VT_UI2, 65535), u"65535"},
        {u"ui4", Make(VT_UI4, 4294967295.0), u"4294967295"},
        {u"r4", Make(VT_R4, 0.1), u"0.1"},
        {u"r8", Make(VT_R8, 2.5), u"2.5"},
        {u"r8", Make(VT_R8, 0.1 + 0.2), u"0.30000000000000004"},
        {u"r8", Make(VT_R8, 1e20), u"1E+20"},
        {u"r8", Make(VT_R8, -inf), u"-INF"},
        {u"float", Make(VT_R8, -1.25e-7), u"-1.25E-07"},
        {u"boolean", Make(VT_BOOL, 1), u"1"},
        {u"boolean", Make(VT_BOOL, 0), u"0"},
        {u"dateTime", Make(VT_DATE, 45322.586909722222), u"2024-01-31T14:05:09"},
        {u"dateTime", Make(VT_DATE, 45293 + 11045.22 / 86400), u"2024-01-02T03:04:05.220"},
        {u"dateTime", Make(VT_DATE, -1.25), u"1899-12-29T06:00:00"},
        {u"date", Make(VT_DATE, 45293), u"2024-01-02"},
        {u"string", mv::Variant(u"a < b & \"c\""), u"a &lt; b &amp; \"c\""},
        {u"char", mv::Variant(u"x"), u"x"},
    };
    for (const auto& c : cases) {
        Ref<IXMLDOMElement> e;
        TypedElement(c.type, c.value, &e);
        if (HasFatalFailure()) return;
        EXPECT_EQ(Xml(e.get()), u"<v xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"" +
                                    std::u16string(c.type) + u"\">" + c.text + u"</v>")
            << mv::ToUtf8(c.type);
        mv::Variant back;
        ASSERT_EQ(e->get_nodeTypedValue(&back), S_OK) << mv::ToUtf8(c.type);
        EXPECT_TRUE(SameValue(back, c.value)) << mv::ToUtf8(c.type) << " vt " << back.vt;
    }
}

// A time of day that rounds to the next midnight moves to the next day,
// before 1899-12-30 as after it.
TEST_F(DomTest, DateTimesRoundedUpToMidnightGiveTheNextDay) {
    const struct {
        DATE value;
        const char16_t* text;
    } cases[] = {
        {45292.9999999999, u"2024-01-02T00:00:00"},
        {-0.9999999999, u"1899-12-31T00:00:00"},
        {-1.9999999999, u"1899-12-30T00:00:00"},
        {-2.9999999999, u"1899-12-29T00:00:00"},
    };
    for (const auto& c : cases) {
        Ref<IXMLDOMElement> e;
        TypedElement(u"dateTime", Make(VT_DATE, c.value), &e);
        if (HasFatalFailure()) return;
        mv::Bstr text;
        e->get_text(text.Out());
        EXPECT_EQ(mv::ToUtf8(text.view()), mv::ToUtf8(c.text)) << c.value;
    }
    // The last representable day has no next day to move to.
    Ref<IXMLDOMElement> last;
    ASSERT_EQ(doc_->createElement(B(u"v").get(), last.Out()), S_OK);
    ASSERT_EQ(last->put_dataType(B(u"dateTime").get()), S_OK);
    EXPECT_EQ(last->put_nodeTypedValue(Make(VT_DATE, 2958465.9999999995)), E_FAIL);
}

TEST_F(DomTest, NumberIsKeptAsTextAndStringsSetTypedValues) {
    const struct {
        const char16_t* type;
        const char16_t* given;
        const char16_t* stored;
        VARTYPE vt;
    } cases[] = {
        {u"number", u"-12.50e3", u"-12.50e3", VT_BSTR},
        {u"i4", u" 42 ", u"42", VT_I4},
        {u"boolean", u"1", u"1", VT_BOOL},
        {u"r8", u"+3.0", u"3", VT_R8},
        {u"dateTime", u"2024-02-29", u"2024-02-29T00:00:00", VT_DATE},
    };
    for (const auto& c : cases) {
        Ref<IXMLDOMElement> e;
        TypedElement(c.type, mv::Variant(c.given), &e);
        if (HasFatalFailure()) return;
        mv::Bstr text;
        e->get_text(text.Out());
        EXPECT_EQ(text.view(), c.stored) << mv::ToUtf8(c.given);
        mv::Variant typed;
        EXPECT_EQ(e->get_nodeTypedValue(&typed), S_OK);
        EXPECT_EQ(typed.vt, c.vt) << mv::ToUtf8(c.given);
    }
}

TEST_F(DomTest, TextThatIsNotAValueOfTheTypeFails) {
    const struct {
        const char16_t* type;
        const char16_t* text;
    } cases[] = {
        {u"i1", u"128"},
        {u"i2", u"40000"},
        {u"i4", u"2147483648"},
        {u"i4", u"1.5"},
        {u"i4", u""},
        {u"ui1", u"-1"},
        {u"ui4", u"4294967296"},
        {u"r4", u"1e39"},
        {u"r8", u"abc"},
        {u"r8", u"1e"},
        {u"r8", u"."},
        {u"boolean", u"true"},
        {u"boolean", u"-1"},
        {u"number", u"1,5"},
        {u"dateTime", u"2024-13-01"},
        {u"dateTime", u"2023-02-29"},
        {u"dateTime", u"2024-01-02 03:04"},
        {u"date", u"2024-01-02T00:00"},
    };
    for (const auto& c : cases) {
        Ref<IXMLDOMElement> e;
        ASSERT_EQ(doc_->createElement(B(u"v").get(), e.Out()), S_OK);
        ASSERT_EQ(e->put_text(B(c.text).get()), S_OK);
        if (*c.text) {
            EXPECT_EQ(e->put_dataType(B(c.type).get()), E_FAIL)
                << mv::ToUtf8(c.type) << " " << mv::ToUtf8(c.text);
        }
        Ref<IXMLDOMElement> typed;
        ASSERT_EQ(doc_->createElement(B(u"v").get(), typed.Out()), S_OK);
        ASSERT_EQ(typed->put_dataType(B(c.type).get()), S_OK);
        EXPECT_TRUE(FAILED(typed->put_nodeTypedValue(mv::Variant(c.text))))
            << mv::ToUtf8(c.type) << " " << mv::ToUtf8(c.text);
    }
}

TEST_F(DomTest, DataTypeNamesAreCheckedAndUntypedNodesGiveText) {
    Ref<IXMLDOMElement> e;
    ASSERT_EQ(doc_->createElement(B(u"v").get(), e.Out()), S_OK);
    mv::Variant type;
    EXPECT_EQ(e->get_dataType(&type), S_FALSE);
    EXPECT_EQ(type.vt, VT_NULL);
    for (const char16_t* bad : {u"int32", u"R8", u"", u"bin.hex"}) {
        EXPECT_EQ(e->put_dataType(B(bad).get()), E_FAIL) << mv::ToUtf8(bad);
    }
    mv::Variant value(LONG{7});
    ASSERT_EQ(e->put_nodeTypedValue(value), S_OK);
    mv::Variant back;
    ASSERT_EQ(e->get_nodeTypedValue(&back), S_OK);
    ASSERT_EQ(back.vt, VT_BSTR);
    EXPECT_EQ(mv::Bstr(back.bstrVal).view(), u"7");

    ASSERT_EQ(e->put_dataType(B(u"i4").get()), S_OK);
    ASSERT_EQ(e->put_dataType(B(u"r8").get()), S_OK) << "a second type replaces the first";
    EXPECT_EQ(Xml(e.get()),
              u"<v xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=\"r8\">7</v>");
    Ref<IXMLDOMElement> empty;
    ASSERT_EQ(doc_->createElement(B(u"e").get(), empty.Out()), S_OK);
    ASSERT_EQ(empty->put_dataType(B(u"r8").get()), S_OK);
    mv::Variant none;
    EXPECT_EQ(empty->get_nodeTypedValue(&none), S_OK);
    EXPECT_EQ(none.vt, VT_NULL) << "a typed element without content is null";
}

TEST_F(DomTest, AttributesTakeTheTextOfTheirValue) {
    Ref<IXMLDOMElement> e;
    ASSERT_EQ(doc_->createElement(B(u"Value").get(), e.Out()), S_OK);
    mv::Variant no(false);
    ASSERT_EQ(e->setAttribute(B(u"isNotFinite").get(), no), S_OK);
    ASSERT_EQ(e->setAttribute(B(u"yes").get(), mv::Variant(true)), S_OK);
    ASSERT_EQ(e->setAttribute(B(u"q").get(), mv::Variant(u"a\"<&>\t\r\nb")), S_OK);
    EXPECT_EQ(Xml(e.get()),
              u"<Value isNotFinite=\"0\" yes=\"-1\" q=\"a&quot;&lt;&amp;&gt;&#9;&#13;&#10;b\"/>");
    mv::Variant read;
    EXPECT_EQ(e->getAttribute(B(u"isNotFinite").get(), &read), S_OK);
    ASSERT_EQ(read.vt, VT_BSTR);
    EXPECT_EQ(mv::Bstr(read.bstrVal).view(), u"0");
    mv::Variant missing;
    EXPECT_EQ(e->getAttribute(B(u"other").get(), &missing), S_FALSE);
    EXPECT_EQ(missing.vt, VT_NULL);
    EXPECT_EQ(e->setAttribute(B(u"1bad").get(), no), E_FAIL);

    // Attribute text survives a save and reload unchanged.
    Ref<IXMLDOMDocument> copy;
    ASSERT_EQ(mv::CreateXmlDocument(copy.Out()), S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(copy->loadXML(mv::Bstr(std::u16string_view(Xml(e.get()))).get(), &ok), S_OK);
    Ref<IXMLDOMElement> root;
    ASSERT_EQ(copy->get_documentElement(root.Out()), S_OK);
    mv::Variant q;
    ASSERT_EQ(root->getAttribute(B(u"q").get(), &q), S_OK);
    EXPECT_EQ(mv::Bstr(q.bstrVal).view(), u"a\"<&>\t\r\nb");

    Ref<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(e->get_attributes(map.Out()), S_OK);
    LONG length = 0;
    map->get_length(&length);
    EXPECT_EQ(length, 3);
    Ref<IXMLDOMNode> named;
    EXPECT_EQ(map->getNamedItem(B(u"yes").get(), named.Out()), S_OK);
    EXPECT_EQ(Xml(named.get()), u"yes=\"-1\"");
}

// A document shaped like a message-bus publication.
TEST_F(DomTest, NamespacesAreDeclaredWhereFirstUsed) {
    const char16_t* item = u"http://example.org/namespace/bpd/PrcItm";
    const char16_t* common = u"http://example.org/namespace/bpd/Common";
    auto node = [&](const char16_t* name, const char16_t* ns, IXMLDOMNode* parent,
                    const char16_t* text = nullptr) {
        Ref<IXMLDOMNode> n, added;
        mv::Variant type(LONG{NODE_ELEMENT});
        EXPECT_EQ(doc_->createNode(type, B(name).get(), ns ? B(ns).get() : nullptr, n.Out()), S_OK);
        if (text) {
            Ref<IXMLDOMText> t, tAdded;
            EXPECT_EQ(doc_->createTextNode(B(text).get(), t.Out()), S_OK);
            EXPECT_EQ(n->appendChild(t.get(), tAdded.Out()), S_OK);
        }
        EXPECT_EQ(parent->appendChild(n.get(), added.Out()), S_OK);
        added->AddRef();
        return added.get();
    };
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(doc_->loadXML(B(u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Header "
                              u"xmlns=\"urn:h\">\r\n  <Id>7</Id>\r\n</Header>")
                                .get(),
                            &ok),
              S_OK);
    ASSERT_EQ(ok, VARIANT_TRUE);
    Ref<IXMLDOMElement> header;
    ASSERT_EQ(doc_->get_documentElement(header.Out()), S_OK);

    Ref<IXMLDOMNode> root;
    ASSERT_EQ(doc_->createNode(mv::Variant(LONG{1}), B(u"ProcessItemInformation").get(),
                               B(item).get(), root.Out()),
              S_OK);
    Ref<IXMLDOMElement> rootElement;
    ASSERT_EQ(root->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(rootElement.Out())),
              S_OK);
    ASSERT_EQ(doc_->putref_documentElement(rootElement.get()), S_OK);
    Ref<IXMLDOMNode> appendedHeader;
    ASSERT_EQ(root->appendChild(header.get(), appendedHeader.Out()), S_OK);

    IXMLDOMNode* body = node(u"ProcessItemInformationBody", item, root.get());
    IXMLDOMNode* quality = node(u"BPDCmn:DataQualityRecord", common, body);
    node(u"BPDCmn:DataQuality", nullptr, quality, u"Good")->Release();
    IXMLDOMNode* values = node(u"BPDCmn:TimeStampValueList", common, body);
    node(u"BPDCmn:ValueString", nullptr, values, u"12.5")->Release();
    node(u"ProcessItemProperties", item, body)->Release();
    node(u"Plain", nullptr, body)->Release();
    values->Release();
    quality->Release();
    body->Release();

    // The declaration stays the first node; a processing instruction goes
    // immediately before the root.
    Ref<IXMLDOMProcessingInstruction> pi;
    ASSERT_EQ(
        doc_->createProcessingInstruction(B(u"xml").get(), B(u"version=\"1.0\"").get(), pi.Out()),
        S_OK);
    mv::Variant before;
    before.vt = VT_UNKNOWN;
    before.punkVal = root.get();
    root->AddRef();
    Ref<IXMLDOMNode> inserted;
    ASSERT_EQ(doc_->insertBefore(pi.get(), before, inserted.Out()), S_OK);

    EXPECT_EQ(
        Xml(doc_.get()),
        u"<?xml version=\"1.0\"?>\r\n"
        u"<?xml version=\"1.0\"?>\r\n"
        u"<ProcessItemInformation xmlns=\"http://example.org/namespace/bpd/PrcItm\">"
        u"<Header xmlns=\"urn:h\"><Id>7</Id></Header>"
        u"<ProcessItemInformationBody>"
        u"<BPDCmn:DataQualityRecord xmlns:BPDCmn=\"http://example.org/namespace/bpd/Common\">"
        u"<BPDCmn:DataQuality>Good</BPDCmn:DataQuality></BPDCmn:DataQualityRecord>"
        u"<BPDCmn:TimeStampValueList xmlns:BPDCmn=\"http://example.org/namespace/bpd/Common\">"
        u"<BPDCmn:ValueString>12.5</BPDCmn:ValueString></BPDCmn:TimeStampValueList>"
        u"<ProcessItemProperties/><Plain xmlns=\"\"/>"
        u"</ProcessItemInformationBody></ProcessItemInformation>\r\n");
    // A node alone declares what it uses.
    Ref<IXMLDOMNode> bodyAgain;
    Ref<IXMLDOMNodeList> kids;
    ASSERT_EQ(root->get_childNodes(kids.Out()), S_OK);
    ASSERT_EQ(kids->get_item(1, bodyAgain.Out()), S_OK);
    EXPECT_EQ(Xml(bodyAgain.get()).substr(0, 76),
              u"<ProcessItemInformationBody xmlns=\"http://example.org/namespace/bpd/PrcItm\">");
    mv::Bstr uri, base;
    bodyAgain->get_namespaceURI(uri.Out());
    bodyAgain->get_baseName(base.Out());
    EXPECT_EQ(uri.view(), item);
    EXPECT_EQ(base.view(), u"ProcessItemInformationBody");
}

TEST_F(DomTest, MalformedTextFailsWithTheParsersReason) {
    const char16_t* cases[] = {
        u"",
        u"   ",
        u"<a>",
        u"<a></b>",
        u"<a x='1' x='2'/>",
        u"text",
        u"<a/><b/>",
        u"<!DOCTYPE a [<!ENTITY e SYSTEM \"file:///etc/passwd\">]><a>&e;</a>",
        u"<a>&undefined;</a>"};
    for (const char16_t* text : cases) {
        VARIANT_BOOL ok = VARIANT_TRUE;
        EXPECT_EQ(doc_->loadXML(B(u"<old/>").get(), &ok), S_OK);
        EXPECT_EQ(doc_->loadXML(B(text).get(), &ok), S_FALSE) << mv::ToUtf8(text);
        EXPECT_EQ(ok, VARIANT_FALSE);
        Ref<IXMLDOMParseError> error;
        ASSERT_EQ(doc_->get_parseError(error.Out()), S_OK);
        LONG code = 0;
        error->get_errorCode(&code);
        EXPECT_NE(code, 0);
        mv::Bstr reason;
        error->get_reason(reason.Out());
        EXPECT_GT(reason.Length(), 0u) << mv::ToUtf8(text);
        Ref<IXMLDOMElement> root;
        EXPECT_EQ(doc_->get_documentElement(root.Out()), S_FALSE) << "the document is emptied";
    }
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc_->loadXML(B(u"<a>x</a>").get(), &ok), S_OK);
    Ref<IXMLDOMParseError> error;
    doc_->get_parseError(error.Out());
    LONG code = 1;
    error->get_errorCode(&code);
    EXPECT_EQ(code, 0);
}

TEST_F(DomTest, LoadingNormalisesLineEndsAndBlankText) {
    const struct {
        bool preserve;
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {false, u"<a>x\r\ny\rz&#13;\n</a>", u"<a>x\ny\nz&#13;\n</a>\r\n"},
        {false, u"<a>\r\n  <b>1</b>\r\n  <c>  </c>\r\n</a>", u"<a><b>1</b><c>  </c></a>\r\n"},
        {true, u"<a>\r\n  <b>1</b>\r\n</a>", u"<a>\n  <b>1</b>\n</a>\r\n"},
        {false, u"<!DOCTYPE a [<!ENTITY e \"E<i>t</i>\">]><a>&e;&amp;</a>",
         u"<a>E<i>t</i>&amp;</a>\r\n"},
        {false, u"<a><!--c--><?p d?><![CDATA[<x>]]></a>",
         u"<a><!--c--><?p d?><![CDATA[<x>]]></a>\r\n"},
        {false, u"<?xml version='1.0' standalone='yes'?><a/>",
         u"<?xml version=\"1.0\" standalone=\"yes\"?>\r\n<a/>\r\n"},
    };
    for (const auto& c : cases) {
        doc_->put_preserveWhiteSpace(c.preserve ? VARIANT_TRUE : VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(doc_->loadXML(B(c.in).get(), &ok), S_OK) << mv::ToUtf8(c.in);
        EXPECT_EQ(Xml(doc_.get()), c.out) << mv::ToUtf8(c.in);
    }
}

// What a document holds comes back the same from its text: the texts with
// their CRs, the namespace names with their `&`.
TEST_F(DomTest, TextsAndNamespaceNamesSurviveASaveAndReload) {
    const struct {
        const char16_t* in;
        const char16_t* xml;   // get_xml of the loaded document
        const char16_t* text;  // of the root element
        const char16_t* uri;   // of the root element
    } cases[] = {
        {u"<a>1&#13;\n2&#13;3</a>", u"<a>1&#13;\n2&#13;3</a>\r\n", u"1\r\n2\r3", u""},
        {u"<o xmlns=\"a&amp;b\"/>", u"<o xmlns=\"a&amp;b\"/>\r\n", u"", u"a&b"},
        {u"<p:o xmlns:p=\"a&#38;b&lt;c&amp;#38;\"/>",
         u"<p:o xmlns:p=\"a&amp;b&lt;c&amp;#38;\"/>\r\n", u"", u"a&b<c&#38;"},
        {u"<o xmlns:q=\"x&amp;y\"><i q:n=\"1\">t</i></o>",
         u"<o xmlns:q=\"x&amp;y\"><i q:n=\"1\">t</i></o>\r\n", u"t", u""},
        {u"<o xmlns:q=\"x&amp;y\"><q:i>t</q:i></o>", u"<o xmlns:q=\"x&amp;y\"><q:i>t</q:i></o>\r\n",
         u"t", u""},
        {u"<!DOCTYPE o [<!ENTITY e \"E\">]><o xmlns=\"a&e;b\"><i/></o>",
         u"<o xmlns=\"aEb\"><i/></o>\r\n", u"", u"aEb"},
        // A prefix that nothing declares stays as the name gives it.
        {u"<n:r xmlns=\"urn:d\"><n:c/></n:r>", u"<n:r xmlns=\"urn:d\"><n:c/></n:r>\r\n", u"", u""},
    };
    Ref<IXMLDOMDocument> again;
    ASSERT_EQ(mv::CreateXmlDocument(again.Out()), S_OK);
    for (const auto& c : cases) {
        SCOPED_TRACE(mv::ToUtf8(c.in));
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(doc_->loadXML(B(c.in).get(), &ok), S_OK);
        const std::u16string xml = Xml(doc_.get());
        EXPECT_EQ(xml, c.xml);
        ASSERT_EQ(again->loadXML(mv::Bstr(std::u16string_view(xml)).get(), &ok), S_OK);
        EXPECT_EQ(Xml(again.get()), xml);
        for (IXMLDOMDocument* d : {doc_.get(), again.get()}) {
            Ref<IXMLDOMElement> root;
            ASSERT_EQ(d->get_documentElement(root.Out()), S_OK);
            mv::Bstr text, uri;
            root->get_text(text.Out());
            EXPECT_EQ(text.view(), c.text);
            root->get_namespaceURI(uri.Out());
            EXPECT_EQ(uri.view(), c.uri);
        }
    }

    // A text made with CRs is written so that it loads back with them.
    Ref<IXMLDOMElement> e;
    Ref<IXMLDOMText> t;
    Ref<IXMLDOMNode> added;
    ASSERT_EQ(doc_->createElement(B(u"s").get(), e.Out()), S_OK);
    ASSERT_EQ(doc_->createTextNode(B(u"line1\r\nline2\r").get(), t.Out()), S_OK);
    ASSERT_EQ(e->appendChild(t.get(), added.Out()), S_OK);
    EXPECT_EQ(Xml(e.get()), u"<s>line1&#13;\nline2&#13;</s>");
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(again->loadXML(mv::Bstr(std::u16string_view(Xml(e.get()))).get(), &ok), S_OK);
    mv::Bstr text;
    again->get_text(text.Out());
    EXPECT_EQ(text.view(), u"line1\r\nline2\r");
}

TEST_F(DomTest, TreeRulesRefuseImpossibleInsertions) {
    Ref<IXMLDOMElement> a, b;
    Ref<IXMLDOMText> t;
    doc_->createElement(B(u"a").get(), a.Out());
    doc_->createElement(B(u"b").get(), b.Out());
    doc_->createTextNode(B(u"t").get(), t.Out());
    Ref<IXMLDOMNode> r1, r2, r3;
    ASSERT_EQ(a->appendChild(b.get(), r1.Out()), S_OK);
    EXPECT_EQ(b->appendChild(a.get(), nullptr), E_FAIL) << "a node under its own child";
    EXPECT_EQ(a->appendChild(a.get(), nullptr), E_FAIL);
    EXPECT_EQ(t->appendChild(b.get(), nullptr), E_FAIL) << "text takes no children";
    EXPECT_EQ(doc_->appendChild(t.get(), nullptr), E_FAIL) << "no text at document level";
    EXPECT_EQ(a->appendChild(nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(doc_->appendChild(a.get(), r2.Out()), S_OK);
    Ref<IXMLDOMElement> c;
    doc_->createElement(B(u"c").get(), c.Out());
    EXPECT_EQ(doc_->appendChild(c.get(), nullptr), E_FAIL) << "one document element";

    Ref<IXMLDOMDocument> other;
    ASSERT_EQ(mv::CreateXmlDocument(other.Out()), S_OK);
    EXPECT_EQ(other->appendChild(c.get(), nullptr), E_INVALIDARG) << "a node of another document";
    Ref<IXMLDOMElement> created;
    EXPECT_EQ(doc_->createElement(B(u"bad name").get(), created.Out()), E_FAIL);
    EXPECT_EQ(doc_->createElement(B(u"").get(), created.Out()), E_FAIL);

    // Moving a node takes it from its old parent.
    ASSERT_EQ(c->appendChild(b.get(), r3.Out()), S_OK);
    EXPECT_EQ(Xml(a.get()), u"<a/>");
    EXPECT_EQ(Xml(c.get()), u"<c><b/></c>");

    // A node outlives the release of its document.
    Ref<IXMLDOMDocument> owner;
    ASSERT_EQ(c->get_ownerDocument(owner.Out()), S_OK);
    EXPECT_EQ(owner.get(), doc_.get());
}

TEST_F(DomTest, RemovedChildrenLeaveTheTreeAndOnlyChildrenCanBeRemoved) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(doc_->loadXML(B(u"<?xml version=\"1.0\"?><!--c--><a><b/>t</a>").get(), &ok), S_OK);
    Ref<IXMLDOMNodeList> children;
    ASSERT_EQ(doc_->get_childNodes(children.Out()), S_OK);
    Ref<IXMLDOMNode> declaration, removed;
    ASSERT_EQ(children->get_item(0, declaration.Out()), S_OK);
    ASSERT_EQ(doc_->removeChild(declaration.get(), removed.Out()), S_OK);
    EXPECT_EQ(removed.get(), declaration.get());
    EXPECT_EQ(Xml(doc_.get()), u"<!--c-->\r\n<a><b/>t</a>\r\n");
    EXPECT_EQ(doc_->removeChild(declaration.get(), nullptr), E_INVALIDARG) << "removed already";

    Ref<IXMLDOMElement> a;
    ASSERT_EQ(doc_->get_documentElement(a.Out()), S_OK);
    Ref<IXMLDOMNodeList> inner;
    Ref<IXMLDOMNode> b;
    ASSERT_EQ(a->get_childNodes(inner.Out()), S_OK);
    ASSERT_EQ(inner->get_item(0, b.Out()), S_OK);
    EXPECT_EQ(doc_->removeChild(b.get(), nullptr), E_INVALIDARG) << "a grandchild";
    EXPECT_EQ(a->removeChild(nullptr, nullptr), E_INVALIDARG);
    ASSERT_EQ(a->removeChild(b.get(), nullptr), S_OK);
    EXPECT_EQ(Xml(a.get()), u"<a>t</a>");
    // A removed node can be inserted again.
    ASSERT_EQ(doc_->insertBefore(declaration.get(), mv::Variant(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc_.get()), u"<!--c-->\r\n<a>t</a>\r\n<?xml version=\"1.0\"?>\r\n");
}

// Every wrapper carries IDispatch only so that a VARIANT can hold it.
TEST_F(DomTest, WrappersOfferNoTypeInformationAndRefuseLateBoundCalls) {
    Ref<IXMLDOMElement> e;
    ASSERT_EQ(doc_->createElement(B(u"e").get(), e.Out()), S_OK);
    Ref<IXMLDOMNodeList> children;
    ASSERT_EQ(e->get_childNodes(children.Out()), S_OK);
    Ref<IXMLDOMNamedNodeMap> attributes;
    ASSERT_EQ(e->get_attributes(attributes.Out()), S_OK);
    VARIANT_BOOL loaded = VARIANT_TRUE;
    ASSERT_EQ(doc_->loadXML(B(u"<a>").get(), &loaded), S_FALSE);
    Ref<IXMLDOMParseError> error;
    ASSERT_EQ(doc_->get_parseError(error.Out()), S_OK);

    IDispatch* const wrappers[] = {doc_.get(), e.get(), children.get(), attributes.get(),
                                   error.get()};
    for (size_t i = 0; i < std::size(wrappers); ++i) {
        IDispatch* d = wrappers[i];
        UINT count = 7;
        EXPECT_EQ(d->GetTypeInfoCount(&count), S_OK) << i;
        EXPECT_EQ(count, 0u) << i;
        EXPECT_EQ(d->GetTypeInfoCount(nullptr), E_INVALIDARG) << i;
        EXPECT_EQ(d->GetTypeInfo(0, 0, nullptr), E_NOTIMPL) << i;
        LPOLESTR name = const_cast<LPOLESTR>(u"length");
        DISPID id = 0;
        EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), E_NOTIMPL) << i;
        DISPPARAMS none{};
        EXPECT_EQ(d->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
                  E_NOTIMPL)
            << i;
        Ref<IDispatch> again;
        EXPECT_EQ(d->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(again.Out())), S_OK)
            << i;
    }
}

}  // namespace
