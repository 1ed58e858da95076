// The XML form of the property-map classes, through a small probe class with
// plain rows, `*` rows, a read-only row and a child row.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>

#include "../../support/failing_new.h"
#include "comobj.h"
#include "persist_test_class.h"
#include "persistence/persist_xml.h"
#include "persistence/property_map.h"

namespace {

MV_DEFINE_GUID(IID_IXmlProbe, 0x5E1D7A10, 0x2B3C, 0x4D5E, 0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5,
               0xF6);

struct IXmlProbe : IDispatch {
    virtual HRESULT get_Name(BSTR* p) = 0;
    virtual HRESULT put_Name(BSTR v) = 0;
    virtual HRESULT get_Count(LONG* p) = 0;
    virtual HRESULT put_Count(LONG v) = 0;
    virtual HRESULT get_Ratio(DOUBLE* p) = 0;
    virtual HRESULT put_Ratio(DOUBLE v) = 0;
    virtual HRESULT get_Value(VARIANT* p) = 0;
    virtual HRESULT put_Value(VARIANT v) = 0;
    virtual HRESULT get_Extra(VARIANT* p) = 0;
    virtual HRESULT put_Extra(VARIANT v) = 0;
    virtual HRESULT get_Fixed(LONG* p) = 0;
    virtual HRESULT get_Children(IDispatch** p) = 0;
};

}  // namespace

MV_IID_OF(IXmlProbe, IID_IXmlProbe);
MV_DISPATCH_TABLE(IXmlProbe, mv::PropGet<&IXmlProbe::get_Value>(0, u"Value"),
                  mv::PropPut<&IXmlProbe::put_Value>(0, u"Value"),
                  mv::PropGet<&IXmlProbe::get_Name>(1, u"Name"),
                  mv::PropPut<&IXmlProbe::put_Name>(1, u"Name"),
                  mv::PropGet<&IXmlProbe::get_Count>(2, u"Count"),
                  mv::PropPut<&IXmlProbe::put_Count>(2, u"Count"),
                  mv::PropGet<&IXmlProbe::get_Ratio>(3, u"Ratio"),
                  mv::PropPut<&IXmlProbe::put_Ratio>(3, u"Ratio"),
                  mv::PropGet<&IXmlProbe::get_Extra>(5, u"Extra"),
                  mv::PropPut<&IXmlProbe::put_Extra>(5, u"Extra"),
                  mv::PropGet<&IXmlProbe::get_Fixed>(6, u"Fixed"),
                  mv::PropGet<&IXmlProbe::get_Children>(2001, u"Children"))

namespace {

class CXmlProbe : public mv::ComObjectRoot<CXmlProbe>,
                  public mv::DispatchImpl<IXmlProbe>,
                  public IMvPersistXMLImpl<CXmlProbe> {
public:
    using InterfaceMap = mv::Interfaces<IXmlProbe, mv::Via<IDispatch, IXmlProbe>, IMvPersistXML>;

    static const PropertyMapEntry* GetPropertyMap() {
        static constexpr PropertyMapEntry kMap[] = {
            MvPropertyRow(u"Name", 1),        MvPropertyRow(u"Count", 2),
            MvPropertyRow(u"Ratio", 3),       MvPropertyRow(u"*Value", 0),
            MvPropertyRow(u"*Extra", 5),      MvPropertyRow(u"Fixed", 6),
            MvPropertyRow(u"Children", 2001), MvPropertyMapEnd(),
        };
        return kMap;
    }

    HRESULT get_Name(BSTR* p) override { return *p = SysAllocString(name_.c_str()), S_OK; }
    HRESULT put_Name(BSTR v) override { return name_ = mv::Bstr(v).view(), S_OK; }
    HRESULT get_Count(LONG* p) override { return *p = count_, S_OK; }
    HRESULT put_Count(LONG v) override { return count_ = v, S_OK; }
    HRESULT get_Ratio(DOUBLE* p) override { return *p = ratio_, S_OK; }
    HRESULT put_Ratio(DOUBLE v) override { return ratio_ = v, S_OK; }
    HRESULT get_Value(VARIANT* p) override { return VariantCopy(p, &value_); }
    HRESULT put_Value(VARIANT v) override { return VariantCopy(&value_, &v); }
    HRESULT get_Extra(VARIANT* p) override { return VariantCopy(p, &extra_); }
    HRESULT put_Extra(VARIANT v) override { return VariantCopy(&extra_, &v); }
    HRESULT get_Fixed(LONG* p) override { return *p = fixed_, S_OK; }
    HRESULT get_Children(IDispatch** p) override { return child_.CopyTo(p); }

    std::u16string name_;
    LONG count_ = 0;
    double ratio_ = 0;
    mv::Variant value_, extra_;
    LONG fixed_ = 0;
    mv::ComPtr<IDispatch> child_;
};

using Probe = mv::ComObject<CXmlProbe>;

mv::ComPtr<Probe> NewProbe() {
    mv::ComPtr<Probe> probe;
    EXPECT_EQ(mv::MakeComObject<CXmlProbe>(&probe), S_OK);
    return probe;
}

// Gives `parent` a child object of its own and returns it.
mv::ComPtr<Probe> AddChild(CXmlProbe* parent) {
    mv::ComPtr<Probe> child = NewProbe();
    parent->child_ = mv::ComPtr<IDispatch>(static_cast<IXmlProbe*>(child.get()));
    return child;
}

// Saves through `map` (the probe's own by default) into a new document's
// root element; returns the result and the root's XML text.
HRESULT SaveProbe(CXmlProbe* probe, std::u16string* xml,
                  const PropertyMapEntry* map = CXmlProbe::GetPropertyMap()) {
    mv::ComPtr<IXMLDOMDocument> doc;
    mv::ComPtr<IXMLDOMElement> root;
    EXPECT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    EXPECT_EQ(doc->createElement(mv::Bstr(u"root").get(), root.Put()), S_OK);
    EXPECT_EQ(doc->putref_documentElement(root.get()), S_OK);
    const HRESULT hr = MvPersistXML_Save(root.get(), map, static_cast<IXmlProbe*>(probe));
    *xml = XmlOf(root.get());
    return hr;
}

std::u16string Saved(CXmlProbe* probe) {
    std::u16string xml;
    EXPECT_EQ(SaveProbe(probe, &xml), S_OK);
    return xml;
}

// Parses `xml` and loads its root element into `probe` (E_INVALIDARG when
// the text does not parse).
HRESULT LoadProbe(CXmlProbe* probe, const std::u16string& xml) {
    mv::ComPtr<IXMLDOMDocument> doc;
    EXPECT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    VARIANT_BOOL ok = VARIANT_FALSE;
    doc->loadXML(mv::Bstr(xml).get(), &ok);
    if (ok != VARIANT_TRUE) return E_INVALIDARG;
    mv::ComPtr<IXMLDOMElement> root;
    doc->get_documentElement(root.Put());
    return probe->LoadXML(root.get());
}

constexpr const char16_t* kDt = u"xmlns:dt=\"urn:schemas-microsoft-com:datatypes\" dt:dt=";

std::u16string Typed(const char16_t* name, const char16_t* type, const char16_t* text,
                     const char16_t* attributes = u"") {
    return std::u16string(u"<") + name + u" " + kDt + u"\"" + type + u"\"" + attributes + u">" +
           text + u"</" + name + u">";
}

mv::Variant Of(VARTYPE vt, double n) {
    mv::Variant v;
    VARIANT number;
    number.vt = VT_R8;
    number.dblVal = n;
    if (vt == VT_R4) {  // keeps infinities and NaNs, which a conversion refuses
        v.vt = VT_R4;
        v.fltVal = static_cast<float>(n);
    } else if (vt == VT_R8 || vt == VT_DATE) {
        v.vt = vt;
        v.dblVal = n;
    } else {
        EXPECT_EQ(VariantChangeType(&v, &number, 0, vt), S_OK);
    }
    return v;
}

DATE Date(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{y, mo, 0, d, h, mi, s, 0};
    DATE date = 0;
    EXPECT_TRUE(SystemTimeToVariantTime(&st, &date));
    return date;
}

// Same type and value; NaNs equal each other.
bool Same(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return false;
    if (a.vt == VT_R4 && std::isnan(a.fltVal)) return std::isnan(b.fltVal);
    if (a.vt == VT_R8 && std::isnan(a.dblVal)) return std::isnan(b.dblVal);
    if (a.vt == VT_R8 && a.dblVal == 0) return std::signbit(a.dblVal) == std::signbit(b.dblVal);
    if (a.vt == VT_BSTR) return mv::Bstr(a.bstrVal).view() == mv::Bstr(b.bstrVal).view();
    switch (a.vt) {
        case VT_EMPTY:
            return true;
        case VT_I2:
            return a.iVal == b.iVal;
        case VT_I4:
            return a.lVal == b.lVal;
        case VT_BOOL:
            return a.boolVal == b.boolVal;
        case VT_R4:
            return a.fltVal == b.fltVal;
        case VT_R8:
        case VT_DATE:
            return a.dblVal == b.dblVal;
        default:
            return false;
    }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kLowPayloadNaN = std::bit_cast<double>(uint64_t{0x7FF0000000000001});

TEST(XmlPersistSave, WritesTheGoldenElementsOfEachRowKind) {
    struct Case {
        const char* what;
        void (*setup)(CXmlProbe*);
        std::u16string inner;  // the root's content
    };
    const std::u16string noValue = Typed(u"Value", u"char", u"");
    const std::u16string noExtra = Typed(u"Extra", u"char", u"");
    const Case cases[] = {
        {"zeros write only the * rows", [](CXmlProbe*) {}, noValue + noExtra},
        {"plain rows as text, untyped",
         [](CXmlProbe* p) { p->name_ = u"mbar", p->ratio_ = 100, p->fixed_ = -7; },
         u"<Name>mbar</Name><Ratio>100</Ratio>" + noValue + noExtra + u"<Fixed>-7</Fixed>"},
        {"a CR is written as a reference, so that CR LF lines load back the same",
         [](CXmlProbe* p) { p->name_ = u"line 1\r\nline 2"; },
         u"<Name>line 1&#13;\nline 2</Name>" + noValue + noExtra},
        {"typed * rows",
         [](CXmlProbe* p) { p->value_ = Of(VT_R8, 2.5), p->extra_ = Of(VT_BOOL, 1); },
         Typed(u"Value", u"r8", u"2.5") + Typed(u"Extra", u"boolean", u"1")},
        {"a non-finite number carries isNotFinite",
         [](CXmlProbe* p) { p->extra_ = mv::Variant(kInf); },
         noValue + Typed(u"Extra", u"r8", u"2146435072", u" isNotFinite=\"0\"")},
        {"a date keeps whole seconds",
         [](CXmlProbe* p) { p->extra_ = Of(VT_DATE, Date(2024, 1, 31, 14, 5, 9) + 0.4 / 86400); },
         noValue + Typed(u"Extra", u"dateTime", u"2024-01-31T14:05:09")},
        {"null is an empty string; an object in Value is left out",
         [](CXmlProbe* p) {
             p->extra_.vt = VT_NULL;
             p->value_.vt = VT_DISPATCH;
             p->value_.pdispVal = NewProbe().Detach();
         },
         Typed(u"Extra", u"string", u"")},
        {"arrays are never written",
         [](CXmlProbe* p) {
             p->extra_.vt = VT_ARRAY | VT_I4;
             p->extra_.parray = SafeArrayCreateVector(VT_I4, 0, 2);
             p->value_ = Of(VT_I2, -3);
         },
         Typed(u"Value", u"i2", u"-3")},
        {"a child writes its rows inside its own element",
         [](CXmlProbe* p) {
             mv::ComPtr<Probe> child = AddChild(p);
             child->name_ = u"inner";
             child->value_ = Of(VT_I4, 7);
         },
         noValue + noExtra + u"<Children><Name>inner</Name>" + Typed(u"Value", u"i4", u"7") +
             noExtra + u"</Children>"},
    };
    for (const Case& c : cases) {
        mv::ComPtr<Probe> probe = NewProbe();
        c.setup(probe.get());
        EXPECT_EQ(Saved(probe.get()), u"<root>" + c.inner + u"</root>") << c.what;
    }
}

TEST(XmlPersistSave, RefusesWhatItCannotWriteAndLogsIt) {
    mv::ComPtr<Probe> probe = NewProbe();
    probe->name_ = u"n";
    mv::ComPtr<IXMLDOMDocument> doc;
    ASSERT_EQ(mv::CreateXmlDocument(doc.Put()), S_OK);
    // A document node has no owner document to create the elements.
    EXPECT_EQ(probe->SaveXML(doc.get()), E_INVALIDARG);
    EXPECT_EQ(XmlOf(doc.get()), u"");
    EXPECT_EQ(probe->SaveXML(nullptr), E_POINTER);
    EXPECT_EQ(probe->LoadXML(nullptr), E_POINTER);

    // A row that cannot be read or written ends the save; what came before
    // stays, the row itself is not written.
    static constexpr PropertyMapEntry kBroken[] = {MvPropertyRow(u"Name", 1),
                                                   MvPropertyRow(u"Missing", 77),
                                                   MvPropertyRow(u"*Extra", 5), MvPropertyMapEnd()};
    const struct {
        mv::Variant extra;
        const PropertyMapEntry* map;
        HRESULT hr;
        const char* logged;
    } cases[] = {
        {mv::Variant(), kBroken, DISP_E_MEMBERNOTFOUND,
         "CComDispatchDriver::GetProperty: Failed to get current value of property #77."},
        {mv::Variant(u"bell \a"), nullptr, E_FAIL, "Property Extra: the text holds a character"},
        {mv::Variant(u"half \xD800 pair"), nullptr, E_FAIL, "Property Extra: the text holds"},
        {mv::Variant(u"\xFFFF"), nullptr, E_FAIL, "Property Extra: the text holds"},
        {Of(VT_DATE, 2958466.0), nullptr, E_FAIL, "Property Extra: the date cannot be written."},
        {Of(VT_DATE, kNaN), nullptr, E_FAIL, "Property Extra: the date cannot be written."},
    };
    for (const auto& c : cases) {
        probe->extra_ = c.extra;
        LogWatch log;
        std::u16string xml;
        EXPECT_EQ(SaveProbe(probe.get(), &xml, c.map ? c.map : CXmlProbe::GetPropertyMap()), c.hr);
        const std::u16string before = c.map ? u"" : Typed(u"Value", u"char", u"");
        EXPECT_EQ(xml, u"<root><Name>n</Name>" + before + u"</root>") << c.logged;
        EXPECT_NE(log.Text().find(std::string("MvPersistXML_Save: ") + c.logged), std::string::npos)
            << log.Text();
    }
}

TEST(XmlPersistRoundTrip, EveryStarRowTypeComesBackTyped) {
    struct Case {
        const char* what;
        mv::Variant written, read;
    };
    const DATE when = Date(1999, 12, 31, 23, 59, 58);
    mv::Variant null;
    null.vt = VT_NULL;
    const Case cases[] = {
        {"empty", mv::Variant(), mv::Variant()},
        {"i2", Of(VT_I2, -32768), Of(VT_I2, -32768)},
        {"i4", Of(VT_I4, 2147483647), Of(VT_I4, 2147483647)},
        {"r4", Of(VT_R4, -1.25), Of(VT_R4, -1.25)},
        {"r8", Of(VT_R8, 1.0e-300), Of(VT_R8, 1.0e-300)},
        {"r8 with 15 digits", Of(VT_R8, 123456.789012345), Of(VT_R8, 123456.789012345)},
        {"negative zero is written as 0", Of(VT_R8, -0.0), Of(VT_R8, 0.0)},
        {"date", Of(VT_DATE, when), Of(VT_DATE, when)},
        {"true", Of(VT_BOOL, 1), Of(VT_BOOL, 1)},
        {"false", Of(VT_BOOL, 0), Of(VT_BOOL, 0)},
        {"string with CR LF", mv::Variant(u"a\r\nb"), mv::Variant(u"a\r\nb")},
        {"string with lone LFs", mv::Variant(u"\nx\ny"), mv::Variant(u"\r\nx\r\ny")},
        {"string with a lone CR", mv::Variant(u"x\ry\r"), mv::Variant(u"x\ry\r")},
        {"string with markup", mv::Variant(u"<a & \"b\">"), mv::Variant(u"<a & \"b\">")},
        {"null comes back as an empty string", null, mv::Variant(u"")},
        {"currency as its text", Of(VT_CY, 1.2345), mv::Variant(u"1.2345")},
        {"byte as its text", Of(VT_UI1, 200), mv::Variant(u"200")},
        // An infinity does not fit a single, so it stays a double.
        {"+infinity", Of(VT_R8, kInf), Of(VT_R8, kInf)},
        {"-infinity", Of(VT_R8, -kInf), Of(VT_R8, -kInf)},
        {"single +infinity", Of(VT_R4, kInf), Of(VT_R8, kInf)},
        // A NaN fits a single and is narrowed to one.
        {"NaN", Of(VT_R8, kNaN), Of(VT_R4, kNaN)},
        {"single NaN", Of(VT_R4, kNaN), Of(VT_R4, kNaN)},
        {"NaN with a payload in the lower word", Of(VT_R8, kLowPayloadNaN), Of(VT_R4, kNaN)},
    };
    for (const Case& c : cases) {
        mv::ComPtr<Probe> probe = NewProbe();
        probe->extra_ = c.written;
        const std::u16string xml = Saved(probe.get());
        mv::ComPtr<Probe> loaded = NewProbe();
        loaded->extra_ = mv::Variant(u"before");
        ASSERT_EQ(LoadProbe(loaded.get(), xml), S_OK) << c.what;
        EXPECT_TRUE(Same(loaded->extra_, c.read))
            << c.what << ": vt " << loaded->extra_.vt << " from " << mv::ToUtf8(xml);
    }
}

TEST(XmlPersistLoad, ReadsNonFiniteTextsOnlyUnderTheAttribute) {
    struct Case {
        const char16_t *type, *text, *attributes;
        mv::Variant read;
    };
    const char16_t* no = u" isNotFinite=\"0\"";
    const Case cases[] = {
        {u"r8", u"2146435072", no, Of(VT_R8, kInf)},
        {u"r8", u"4293918720", u" isNotFinite=\"false\"", Of(VT_R8, -kInf)},
        // Under "r8" the attribute's value does not matter.
        {u"r8", u"2146435072", u" isNotFinite=\"-1\"", Of(VT_R8, kInf)},
        {u"r8", u"2146959364", no, Of(VT_R4, kNaN)},
        {u"r8", u"2146959360", no, Of(VT_R4, kNaN)},
        {u"r8", u"4294443008", no, Of(VT_R4, kNaN)},
        {u"r4", u"2146959360", no, Of(VT_R4, kNaN)},
        // Under "r4" only a false attribute counts.
        {u"r4", u"2146959360", u" isNotFinite=\"-1\"", Of(VT_R4, 2146959360.0)},
        {u"r4", u"2146959360", u" isNotFinite=\"maybe\"", Of(VT_R4, 2146959360.0)},
        // No attribute, or no non-finite upper word: the number as read.
        {u"r8", u"2146435072", u"", Of(VT_R8, 2146435072.0)},
        {u"r8", u"12.5", no, Of(VT_R8, 12.5)},
        {u"r8", u"2146435072.5", no, Of(VT_R8, 2146435072.5)},
        {u"i4", u"2146435072", no, Of(VT_I4, 2146435072)},
    };
    for (const Case& c : cases) {
        mv::ComPtr<Probe> probe = NewProbe();
        const std::u16string xml =
            u"<root>" + Typed(u"Extra", c.type, c.text, c.attributes) + u"</root>";
        ASSERT_EQ(LoadProbe(probe.get(), xml), S_OK) << mv::ToUtf8(xml);
        EXPECT_TRUE(Same(probe->extra_, c.read)) << mv::ToUtf8(xml) << ": vt " << probe->extra_.vt;
    }
}

TEST(XmlPersistLoad, AppliesElementsInOrderAndLogsWhatItRefuses) {
    struct Case {
        const char* what;
        std::u16string content;  // of the root element
        HRESULT result;
        const char16_t *name, *childName;
        LONG count;
        double ratio;
        const char* logged;  // a line the load writes, or null for none
    };
    const Case cases[] = {
        {"an empty node changes nothing", u"", S_OK, u"keep", u"", 1, 0.5, nullptr},
        {"untyped texts convert to the declared types",
         u"<Ratio>1.5</Ratio><Count>12</Count><Name>a\nb</Name>", S_OK, u"a\r\nb", u"", 12, 1.5,
         nullptr},
        {"comments, blanks and instructions are passed over",
         u"<!-- note --> <Count>3</Count><?pi x?>\n<Name>n</Name>", S_OK, u"n", u"", 3, 0.5,
         nullptr},
        {"a repeated element wins last", u"<Count>3</Count><Count>4</Count>", S_OK, u"keep", u"", 4,
         0.5, nullptr},
        {"a child element loads into the child", u"<Children><Name>c</Name></Children>", S_OK,
         u"keep", u"c", 1, 0.5, nullptr},
        {"an unknown element ends the load", u"<Count>8</Count><Bogus>1</Bogus><Name>late</Name>",
         DISP_E_UNKNOWNNAME, u"keep", u"", 8, 0.5,
         "MvPersistXML_Load: getIDsOfNames : Failed on get dispid for \"Bogus\"."},
        {"a refused value is logged and the load goes on",
         u"<Fixed>3</Fixed><Count>x</Count><Name>after</Name>", S_OK, u"after", u"", 1, 0.5,
         "MvPersistXML_Load: CComDispatchDriver::GetProperty : Failed to assign value to "
         "property 6."},
        {"a typed text that does not parse fails the load",
         u"<Count " + std::u16string(kDt) + u"\"i4\">ten</Count><Name>late</Name>", E_FAIL, u"keep",
         u"", 1, 0.5, "MvPersistXML_Load: get_nodeTypedValue: Failed to get node typed value."},
        {"an empty typed text other than a string does not parse either",
         u"<Extra " + std::u16string(kDt) + u"\"dateTime\"/><Name>late</Name>", E_FAIL, u"keep",
         u"", 1, 0.5, "MvPersistXML_Load: get_nodeTypedValue: Failed to get node typed value."},
    };
    for (const Case& c : cases) {
        mv::ComPtr<Probe> probe = NewProbe();
        probe->name_ = u"keep";
        probe->count_ = 1;
        probe->ratio_ = 0.5;
        mv::ComPtr<Probe> child = AddChild(probe.get());
        LogWatch log;
        EXPECT_EQ(LoadProbe(probe.get(), u"<root>" + c.content + u"</root>"), c.result) << c.what;
        EXPECT_EQ(probe->name_, c.name) << c.what;
        EXPECT_EQ(child->name_, c.childName) << c.what;
        EXPECT_EQ(probe->count_, c.count) << c.what;
        EXPECT_EQ(probe->ratio_, c.ratio) << c.what;
        const std::string added = log.Text();
        if (c.logged)
            EXPECT_NE(added.find(c.logged), std::string::npos) << c.what << "\n" << added;
        else
            EXPECT_EQ(added, "") << c.what;
    }
}

// A load whose failure is being logged while memory runs out returns that
// failure and throws nothing: these classes have no method frame, so an
// exception would reach the client. The log line is dropped.
TEST(PersistLoadOutOfMemory, ALoggedFailureIsReturnedWhenItsLineCannotBeBuilt) {
    // Below every logged message and line; above what the loads themselves
    // take on these roads.
    constexpr std::size_t kFailingFrom = 48;
    PersistTestClassRegistration classes;
    using Load = std::function<HRESULT()>;
    auto fromStream = [](const Bytes& bytes) -> Load {
        mv::ComPtr<mv::ComObject<CPersistTestObject>> object;
        EXPECT_EQ(mv::MakeComObject<CPersistTestObject>(&object), S_OK);
        mv::ComPtr<IStream> stream = NewStream(bytes);
        return [object, stream] {
            return static_cast<IPersistStream*>(object.get())->Load(stream.get());
        };
    };
    auto fromXml = [](const std::u16string& content) -> Load {
        mv::ComPtr<Probe> probe = NewProbe();
        AddChild(probe.get());
        mv::ComPtr<IXMLDOMDocument> doc = ParseXml(u"<root>" + content + u"</root>");
        mv::ComPtr<IXMLDOMNode> root = RootOf(doc.get());
        return [probe, doc, root] {
            return static_cast<IMvPersistXML*>(probe.get())->LoadXML(root.get());
        };
    };
    const struct {
        const char* what;
        std::function<Load()> prepare;
        HRESULT result;
    } cases[] = {
        {"stream ending before the end marker",
         [&] {
             return fromStream(Cat({Le32(kTestCount), {3, 0, 8, 0, 0, 0}}));
         },
         E_FAIL},
        {"stream naming an unknown child",
         [&] {
             return fromStream(Cat({Le32(2005), {0x00}, Le32(-2000)}));
         },
         DISP_E_MEMBERNOTFOUND},
        {"XML naming an unknown element", [&] { return fromXml(u"<Bogus>1</Bogus>"); },
         DISP_E_UNKNOWNNAME},
        {"XML with a typed text that does not parse",
         [&] { return fromXml(u"<Count " + std::u16string(kDt) + u"\"i4\">ten</Count>"); }, E_FAIL},
        {"XML whose child fails", [&] { return fromXml(u"<Children><Bogus>1</Bogus></Children>"); },
         DISP_E_UNKNOWNNAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LogWatch log;
        const Load load = c.prepare();
        HRESULT hr = S_OK;
        {
            mv_test::FailingNew failing(kFailingFrom);
            try {
                hr = load();
            } catch (...) {
                hr = E_ABORT;  // an exception left the load
            }
        }
        EXPECT_EQ(hr, c.result);
    }
}

// Saved texts with random damage: each either fails to parse or loads
// without crashing, leaking or reading out of bounds.
TEST(XmlPersistFuzz, DamagedTextsLoadOrFailCleanly) {
    mv::ComPtr<Probe> source = NewProbe();
    source->name_ = u"line 1\r\nline 2";
    source->count_ = -42;
    source->ratio_ = 3.25;
    source->value_ = Of(VT_R8, kNaN);
    source->extra_ = Of(VT_DATE, Date(2001, 2, 3, 4, 5, 6));
    AddChild(source.get())->extra_ = Of(VT_R8, -kInf);
    const std::u16string saved = Saved(source.get());

    const std::u16string pieces = u"<>/=\"&;!- dt:x0123456789.E+INFaN";
    std::mt19937 random(20240131);
    int parsed = 0;
    for (int round = 0; round < 400; ++round) {
        std::u16string text = saved;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0 && !text.empty(); --edits) {
            const size_t at = random() % text.size();
            const char16_t piece = pieces[random() % pieces.size()];
            switch (random() % 3) {
                case 0:
                    text[at] = piece;
                    break;
                case 1:
                    text.erase(at, 1 + random() % 6);
                    break;
                default:
                    text.insert(at, 1, piece);
                    break;
            }
        }
        mv::ComPtr<Probe> target = NewProbe();
        AddChild(target.get());
        if (LoadProbe(target.get(), text) != E_INVALIDARG) ++parsed;
    }
    // Most damage breaks the markup; enough of it parses to reach the engine.
    EXPECT_GT(parsed, 40);
}

}  // namespace
