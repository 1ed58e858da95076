// Message-bus publishing in whole runs: the document each bus-bound output
// sends, the adapter's set-up and its failures, the send's failures, and the
// receiver the adapter calls back.
#include <cmath>
#include <limits>

#include "calculation/calculation.h"
#include "quenbus_test_support.h"
#include "sources/bpd_receiver.h"

namespace {

using busadapter::Call;
using busadapter::Step;
using bustest::B;

std::string U8(const std::u16string& text) {
    return mv::ToUtf8(text);
}

// The text of the first element of that name: "" when it is empty, "<none>"
// when there is none.
std::string ElementText(const std::string& doc, const std::string& name) {
    const std::string open = "<" + name + ">", empty = "<" + name + "/>";
    const size_t at = doc.find(open);
    if (at == std::string::npos) return doc.find(empty) == std::string::npos ? "<none>" : "";
    const size_t from = at + open.size();
    return doc.substr(from, doc.find("</" + name + ">", from) - from);
}

size_t Occurrences(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

class QuenbusRun : public bustest::QuenbusWorld {};

TEST_F(QuenbusRun, PublishesTheGoldenDocumentOfAnOutput) {
    busadapter::SetHeader(u"<BPDHeader><MsgID>1</MsgID></BPDHeader>");
    auto calc = BusCalc("Unit1");
    Bus(calc.get(), "Flow", "FLOW.PV", mv::Variant(12.5));
    EXPECT_EQ(Run(calc.get()), "");

    const char* golden =
        "<?xml version=\"1.0\"?>\r\n"
        R"(<ProcessItemInformation xmlns="http://morva.example/namespace/bpd/PrcItm">)"
        R"(<BPDHeader xmlns=""><MsgID>1</MsgID></BPDHeader>)"
        R"(<ProcessItemInformationBody><ProcessItemInformationProperties>)"
        R"(<DataAcquiredDateTime>2024-03-15T10:20:30Z</DataAcquiredDateTime>)"
        R"(<BPDCmn:ProcessItemDataSource xmlns:BPDCmn="http://morva.example/namespace/bpd/Common">)"
        R"(<BPDCmn:SourceID>@HOST@</BPDCmn:SourceID></BPDCmn:ProcessItemDataSource>)"
        R"(<BPDCmn:DataQualityRecord xmlns:BPDCmn="http://morva.example/namespace/bpd/Common">)"
        R"(<BPDCmn:DataQuality>Good</BPDCmn:DataQuality></BPDCmn:DataQualityRecord>)"
        R"(</ProcessItemInformationProperties><ProcessItemInformationDetails><ProcessItemGroups>)"
        R"(<ProcessItemGroup><GroupID>Unit1</GroupID>)"
        R"(<BPDCmn:DataQualityRecord xmlns:BPDCmn="http://morva.example/namespace/bpd/Common">)"
        R"(<BPDCmn:DataQuality>Good</BPDCmn:DataQuality></BPDCmn:DataQualityRecord>)"
        R"(<ProcessItems><ProcessItem><ItemID>Unit1.Flow</ItemID>)"
        R"(<BPDCmn:DataQualityRecord xmlns:BPDCmn="http://morva.example/namespace/bpd/Common">)"
        R"(<BPDCmn:DataQuality>Good</BPDCmn:DataQuality></BPDCmn:DataQualityRecord>)"
        R"(<BPDCmn:TimeStampValueList xmlns:BPDCmn="http://morva.example/namespace/bpd/Common">)"
        R"(<BPDCmn:TimeStamp>2024-03-15T10:20:30Z</BPDCmn:TimeStamp>)"
        R"(<BPDCmn:ValueString>12.5</BPDCmn:ValueString><BPDCmn:DataType>double</BPDCmn:DataType>)"
        R"(</BPDCmn:TimeStampValueList><ProcessItemProperties/></ProcessItem></ProcessItems>)"
        R"(</ProcessItemGroup></ProcessItemGroups></ProcessItemInformationDetails>)"
        R"(</ProcessItemInformationBody></ProcessItemInformation>)"
        "\r\n";
    std::string expected = golden;
    expected.replace(expected.find("@HOST@"), 6, ComputerName());

    const auto sent = busadapter::Publications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(U8(sent[0].subject), "MORVA_CALC_PUB");
    EXPECT_EQ(U8(sent[0].recordName), "FLOW.PV");
    EXPECT_EQ(U8(sent[0].document), expected);
    EXPECT_TRUE(busadapter::LastReceiverAnswered());
    EXPECT_EQ(U8(busadapter::LastPropertiesFile()), PropertiesFile(base_.string()));
}

// One run per row: what the document says of the output, or the text a bad
// header leaves.
TEST_F(QuenbusRun, DocumentsCarryQualityValueTextAndTypeOfTheOutput) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 2);
    mv::Variant list;
    list.vt = VT_ARRAY | VT_I4;
    list.parray = array;
    mv::Variant yes, shortValue, single, when;
    yes.vt = VT_BOOL;
    yes.boolVal = VARIANT_TRUE;
    shortValue.vt = VT_I2;
    shortValue.iVal = -7;
    single.vt = VT_R4;
    single.fltVal = 2.5f;
    when.vt = VT_DATE;
    when.date = 45366.5;  // 2024-03-15 12:00:00
    mv::Variant null;
    null.vt = VT_NULL;
    const std::u16string good = u"<BPDHeader/>";
    struct Row {
        const char* what;
        mv::Variant value;
        SHORT level;
        const char* parameter;
        std::u16string header;
        const char* quality;
        const char* text;
        const char* type;
        const char* error;  // set: nothing published
    } rows[] = {
        {"suspect", mv::Variant(1.0), 1, "Flow", good, "Suspect", "1", "double", nullptr},
        {"bad", mv::Variant(1.0), 2, "Flow", good, "Error", "1", "double", nullptr},
        {"no level", mv::Variant(1.0), -1, "Flow", good, "Error", "1", "double", nullptr},
        {"unknown level", mv::Variant(1.0), 7, "Flow", good, "Error", "1", "double", nullptr},
        {"true", yes, 0, "Flow", good, "Good", "1", "boolean", nullptr},
        {"string", mv::Variant(u"open"), 0, "Flow", good, "Good", "open", "string", nullptr},
        {"empty", mv::Variant(), 0, "Flow", good, "Good", "", "string", nullptr},
        {"date", when, 0, "Flow", good, "Good", "2024-03-15T12:00:00", "dateTime", nullptr},
        {"infinity", mv::Variant(std::numeric_limits<double>::infinity()), 0, "Flow", good, "Good",
         "2146435072", "double", nullptr},
        {"short", shortValue, 0, "Flow", good, "Good", "-7", "short", nullptr},
        {"long", mv::Variant(LONG{42}), 0, "Flow", good, "Good", "42", "int", nullptr},
        {"float", single, 0, "Flow", good, "Good", "2.5", "float", nullptr},
        {"array", list, 0, "Flow", good, "Good", "", "string", nullptr},
        {"null", null, 0, "Flow", good, "Good", "", "string", nullptr},
        {"unnamed parameter", mv::Variant(1.0), 0, "", good, "Good", "1", "double", nullptr},
        {"own declaration", mv::Variant(1.0), 0, "Flow", u"<?xml version=\"1.0\"?>\r\n<BPDHeader/>",
         "Good", "1", "double", nullptr},
        {"malformed header", mv::Variant(1.0), 0, "Flow", u"<BPDHeader>", nullptr, nullptr, nullptr,
         "Quenbus: Failed to load XML DOM with BPD Header"},
        {"empty header", mv::Variant(1.0), 0, "Flow", u"", nullptr, nullptr, nullptr,
         "Quenbus: Failed to load XML DOM with BPD Header"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        busadapter::Reset();
        busadapter::SetHeader(r.header);
        auto calc = BusCalc("Unit1");
        auto p = Bus(calc.get(), "Flow", "REC", r.value, r.level);
        if (std::string(r.parameter) != "Flow") p->put_Name(B(r.parameter).get());
        const std::string error = Run(calc.get());
        const auto sent = busadapter::Publications();
        if (r.error) {
            EXPECT_EQ(error, r.error);
            EXPECT_TRUE(sent.empty());
            continue;
        }
        EXPECT_EQ(error, "");
        ASSERT_EQ(sent.size(), 1u);
        const std::string doc = U8(sent[0].document);
        EXPECT_EQ(Occurrences(doc, "<BPDCmn:DataQuality>" + std::string(r.quality) + "<"), 3u);
        EXPECT_EQ(ElementText(doc, "BPDCmn:ValueString"), r.text);
        EXPECT_EQ(ElementText(doc, "BPDCmn:DataType"), r.type);
        EXPECT_EQ(ElementText(doc, "ItemID"), "Unit1." + std::string(r.parameter));
        EXPECT_EQ(Occurrences(doc, "<?xml"), 1u);
        EXPECT_EQ(doc.rfind("<?xml version=\"1.0\"?>\r\n<ProcessItemInformation ", 0), 0u);
        EXPECT_EQ(ElementText(doc, "ProcessItemProperties"), "");
    }

    // An unnamed calculation names neither its group nor its item.
    busadapter::Reset();
    auto calc = BusCalc("");
    Bus(calc.get(), "Flow", "REC", mv::Variant(1.0));
    EXPECT_EQ(Run(calc.get()), "");
    const auto sent = busadapter::Publications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(ElementText(U8(sent[0].document), "GroupID"), "");
    EXPECT_EQ(ElementText(U8(sent[0].document), "ItemID"), ".Flow");
}

// The declaration is the first node: nodes before the header's root move,
// in their order, to just after the new root, before those that stood after
// the header's root. Every document loads in a parser.
TEST_F(QuenbusRun, HeadersWithNodesBesideTheRootOrANamespaceAreEmbedded) {
    const char* start =
        "<?xml version=\"1.0\"?>\r\n<ProcessItemInformation "
        "xmlns=\"http://morva.example/namespace/bpd/PrcItm\"><H xmlns=\"\"/>";
    const struct {
        std::u16string header;
        const char* start;
        const char* end;
    } rows[] = {
        {u"<!--bus--><H/>", start, "</ProcessItemInformation>\r\n<!--bus-->\r\n"},
        {u"<?xml version=\"1.0\"?><!--bus--><H/>", start,
         "</ProcessItemInformation>\r\n<!--bus-->\r\n"},
        {u"<?p d?><!--a-->\r\n<H/><!--z-->", start,
         "</ProcessItemInformation>\r\n<?p d?>\r\n<!--a-->\r\n<!--z-->\r\n"},
        {u"<h:H xmlns:h=\"urn:bus\"><h:Id>9</h:Id></h:H>",
         "<?xml version=\"1.0\"?>\r\n<ProcessItemInformation "
         "xmlns=\"http://morva.example/namespace/bpd/PrcItm\"><h:H xmlns:h=\"urn:bus\"><h:Id>9"
         "</h:Id></h:H><ProcessItemInformationBody>",
         "</ProcessItemInformationBody></ProcessItemInformation>\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.start);
        busadapter::Reset();
        busadapter::SetHeader(r.header);
        auto calc = BusCalc("Unit1");
        Bus(calc.get(), "Flow", "REC", mv::Variant(1.0));
        EXPECT_EQ(Run(calc.get()), "");
        const auto sent = busadapter::Publications();
        ASSERT_EQ(sent.size(), 1u);
        const std::string doc = U8(sent[0].document);
        EXPECT_EQ(doc.rfind(r.start, 0), 0u) << doc;
        const std::string end = r.end;
        EXPECT_EQ(doc.size() >= end.size() ? doc.substr(doc.size() - end.size()) : doc, end);
        mv::ComPtr<IXMLDOMDocument> parsed;
        ASSERT_EQ(mv::CreateXmlDocument(parsed.Put()), S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(parsed->loadXML(mv::Bstr(std::u16string_view(sent[0].document)).get(), &ok),
                  S_OK);
    }
}

// A text that XML 1.0 cannot carry, in the value, the calculation's name or
// the parameter's name, publishes nothing and leaves the text of the node
// that could not be made; the next run with a text it can carry publishes.
// Every other text arrives as it was, CR LF included.
TEST_F(QuenbusRun, TextsThatXmlCannotCarryAreNeverPublished) {
    enum Where { kValue, kCalculation, kParameter };
    const char* valueText = "Failed to create valuetext node.";
    const char* groupText = "Failed to create GroupID valuetext node.";
    const char* itemText = "Failed to create ItemID valuetext node.";
    using namespace std::string_literals;
    const struct {
        Where where;
        std::u16string text;
        const char* error;  // null: published
    } rows[] = {
        {kValue, u"a\u0001b", valueText},
        {kValue, u"a\u0008", valueText},
        {kValue, u"\u000B", valueText},
        {kValue, u"\u000C", valueText},
        {kValue, u"\u000E", valueText},
        {kValue, u"x\u001F", valueText},
        {kValue, u"a\0b"s, valueText},
        {kValue, u"\uFFFE", valueText},
        {kValue, u"\uFFFF", valueText},
        {kValue, u"a"s + char16_t(0xD800) + u"b", valueText},
        {kValue, u"a"s + char16_t(0xDC00), valueText},
        {kValue, char16_t(0xDBFF) + u""s, valueText},
        {kCalculation, u"Unit\u0001", groupText},
        {kCalculation, u"Unit\u000B", groupText},
        {kCalculation, u"\u001FUnit", groupText},
        {kCalculation, u"Unit\uFFFE", groupText},
        {kCalculation, u"Unit\uFFFF", groupText},
        {kParameter, u"Flow\u0002", itemText},
        {kParameter, u"Flow\uFFFF", itemText},
        {kValue, u"<&>\"'\ttab", nullptr},
        {kValue, u"line1\r\nline2\rend\n", nullptr},
        {kValue, u"\u00e9\u4e2d\uFFFD\uE000\U0001F600", nullptr},
        {kCalculation, u"Unit <&> \u00e9\t1", nullptr},
        {kParameter, u"Flow\U0001F600", nullptr},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(mv::ToUtf8(r.text) + " in " + std::to_string(r.where));
        busadapter::Reset();
        busadapter::SetHeader(u"<H/>");
        auto calc = BusCalc("Unit1");
        auto p = Bus(calc.get(), "Flow", "REC", mv::Variant(r.where == kValue ? r.text : u"v"));
        const mv::Bstr text{std::u16string_view(r.text)};
        if (r.where == kCalculation) {
            ASSERT_EQ(calc->put_Name(text.get()), S_OK);
        } else if (r.where == kParameter) {
            ASSERT_EQ(p->put_Name(text.get()), S_OK);
        }
        const std::string error = Run(calc.get());
        const auto sent = busadapter::Publications();
        if (r.error) {
            EXPECT_EQ(error, r.error);
            EXPECT_TRUE(sent.empty());
            // Once the text is one XML carries, the next run publishes.
            if (r.where == kValue) p->put_Value(mv::Variant(u"v"));
            if (r.where == kCalculation) calc->put_Name(B("Unit1").get());
            if (r.where == kParameter) p->put_Name(B("Flow").get());
            EXPECT_EQ(Run(calc.get()), "");
            EXPECT_EQ(busadapter::Publications().size(), 1u);
            continue;
        }
        EXPECT_EQ(error, "");
        ASSERT_EQ(sent.size(), 1u);
        // A peer's parser reads the text back as it was.
        mv::ComPtr<IXMLDOMDocument> parsed;
        ASSERT_EQ(mv::CreateXmlDocument(parsed.Put()), S_OK);
        VARIANT_BOOL ok = VARIANT_FALSE;
        ASSERT_EQ(parsed->loadXML(mv::Bstr(std::u16string_view(sent[0].document)).get(), &ok),
                  S_OK);
        mv::Bstr all;
        parsed->get_text(all.Out());
        EXPECT_NE(all.view().find(r.text), std::u16string_view::npos) << U8(sent[0].document);
    }
}

TEST_F(QuenbusRun, EachRunPublishesEveryBusOutputThroughOneAdapter) {
    auto calc = BusCalc("Unit1");
    Bus(calc.get(), "Flow", "FLOW.PV", mv::Variant(1.5));
    Bus(calc.get(), "Temp", "", mv::Variant(2.5), 0, mvcOutput);
    for (int run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        EXPECT_EQ(Run(calc.get()), "");
        EXPECT_EQ(busadapter::Calls(Call::Create), 1);
        EXPECT_EQ(busadapter::Calls(Call::Initialize), 1);
        EXPECT_EQ(busadapter::Calls(Call::Start), 1);
        EXPECT_EQ(busadapter::Calls(Call::PopulateHeader), 2 * run);
        EXPECT_EQ(busadapter::Calls(Call::Publish), 2 * run);
    }
    const auto sent = busadapter::Publications();
    ASSERT_EQ(sent.size(), 4u);
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(U8(sent[i].subject), "MORVA_CALC_PUB");
        EXPECT_EQ(U8(sent[i].recordName), i % 2 ? "" : "FLOW.PV");
        EXPECT_EQ(ElementText(U8(sent[i].document), "ItemID"), i % 2 ? "Unit1.Temp" : "Unit1.Flow");
    }
    // The output's value was emptied before the formula, which leaves it so.
    EXPECT_EQ(ElementText(U8(sent[1].document), "BPDCmn:ValueString"), "");
    // Only the adapter keeps the receiver.
    EXPECT_EQ(busadapter::ReceiversHeld(), 1);
    EXPECT_EQ(busadapter::AdaptersAlive(), 1);

    // The environment's final release stops and releases the adapter; the
    // next publication sets up a new one.
    NewEnvironment().Reset();
    EXPECT_EQ(busadapter::Calls(Call::Stop), 1);
    EXPECT_EQ(busadapter::AdaptersAlive(), 0);
    EXPECT_EQ(busadapter::ReceiversHeld(), 0);
    EXPECT_EQ(Run(calc.get()), "");
    EXPECT_EQ(busadapter::Calls(Call::Create), 2);
    EXPECT_EQ(busadapter::Publications().size(), 6u);
}

// Each failing step leaves its text and nothing published; a failed set-up
// leaves no adapter, so the next run sets one up and publishes.
TEST_F(QuenbusRun, SetUpAndHeaderFailuresLeaveTheirTexts) {
    struct Row {
        const char* what;
        Step step;
        HRESULT hr;
        const char* error;
        bool adapterKept;
    } rows[] = {
        {"creation", Step::Create, E_OUTOFMEMORY, "Failed to create Quenbus Adapter: -2147024882",
         false},
        {"initialisation", Step::Initialize, E_FAIL, "Failed to initialize Quenbus Adapter", false},
        {"start", Step::Start, E_ACCESSDENIED, "Failed to start Quenbus Adapter: -2147024891",
         false},
        {"header interface", Step::HeaderInterface, E_NOINTERFACE,
         "Failed to get IMvBPDHeader interface", true},
        {"header", Step::PopulateHeader, E_FAIL, "Failed to populate BPD header", true},
        {"send interface", Step::SendInterface, E_NOINTERFACE,
         "Failed to get IMvAdapterMsgSend interface: -2147467262", true},
    };
    auto calc = BusCalc("Unit1");
    Bus(calc.get(), "Flow", "REC", mv::Variant(1.0));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        NewEnvironment().Reset();  // no adapter
        busadapter::Reset();
        busadapter::SetFailure(r.step, r.hr);
        EXPECT_EQ(Run(calc.get()), r.error);
        EXPECT_TRUE(busadapter::Publications().empty());
        EXPECT_EQ(g_pBusAdapter != nullptr, r.adapterKept);
        EXPECT_EQ(busadapter::AdaptersAlive(), r.adapterKept ? 1 : 0);
        EXPECT_EQ(busadapter::ReceiversHeld(), r.adapterKept ? 1 : 0);
        busadapter::SetFailure(r.step, S_OK);
        EXPECT_EQ(Run(calc.get()), "");
        EXPECT_EQ(busadapter::Publications().size(), 1u);
        EXPECT_EQ(busadapter::Calls(Call::Create), r.adapterKept ? 1 : 2);
    }
}

TEST_F(QuenbusRun, UnregisteredClassesFailTheSetUpUntilTheyAreServed) {
    auto calc = BusCalc("Unit1");
    Bus(calc.get(), "Flow", "REC", mv::Variant(1.0));
    busadapter::Revoke();
    EXPECT_EQ(Run(calc.get()), "Failed to create Quenbus Adapter: -2147221164");
    EXPECT_EQ(g_pBusAdapter, nullptr);
    ASSERT_EQ(busadapter::Register(), S_OK);
    RevokeReceiver();
    EXPECT_EQ(Run(calc.get()), "Failed to create Quenbus Receiver: -2147221164");
    EXPECT_EQ(g_pBusAdapter, nullptr);
    EXPECT_EQ(busadapter::AdaptersAlive(), 0);
    ServeReceiver();
    EXPECT_EQ(Run(calc.get()), "");
    EXPECT_EQ(busadapter::Calls(Call::Create), 2);
    EXPECT_EQ(busadapter::Publications().size(), 1u);
}

// A failed send leaves the adapter's description, or the call's code when
// it gives none; the next output is still published.
TEST_F(QuenbusRun, PublishFailuresLeaveTheAdaptersTextOrTheCode) {
    struct Row {
        const char* what;
        busadapter::ErrorInfo info;
        const char* error;
    } rows[] = {
        {"described", busadapter::ErrorInfo::Described, "Bus link down"},
        {"empty description", busadapter::ErrorInfo::Empty,
         "Publish call failed on IMvAdapterMsgSend interface: -2147467259"},
        {"no error information", busadapter::ErrorInfo::None,
         "Publish call failed on IMvAdapterMsgSend interface: -2147467259"},
    };
    auto calc = BusCalc("Unit1");
    Bus(calc.get(), "Flow", "FIRST", mv::Variant(1.0));
    Bus(calc.get(), "Temp", "SECOND", mv::Variant(2.0));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        busadapter::Reset();
        busadapter::SetPublishErrorInfo(r.info, u"Bus link down");
        busadapter::SetFailure(Step::Publish, E_FAIL, 1);
        EXPECT_EQ(Run(calc.get()), r.error);
        const auto sent = busadapter::Publications();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(U8(sent[0].recordName), "SECOND");
    }
}

TEST(QuenbusDataType, NamesFollowTheVariantType) {
    const std::pair<VARTYPE, const char*> rows[] = {{VT_I2, "short"},
                                                    {VT_I4, "int"},
                                                    {VT_R4, "float"},
                                                    {VT_R8, "double"},
                                                    {VT_DATE, "dateTime"},
                                                    {VT_BOOL, "boolean"},
                                                    {VT_BSTR, "string"},
                                                    {VT_EMPTY, "string"},
                                                    {VT_NULL, "string"},
                                                    {VT_UI1, "string"},
                                                    {VT_I8, "string"},
                                                    {VT_R8 | VT_BYREF, "string"},
                                                    {VT_R8 | VT_ARRAY, "string"}};
    for (const auto& [vt, name] : rows) {
        VARIANT value;
        VariantInit(&value);
        value.vt = vt;
        mv::Variant text;
        CMvCalculation::QuenbusDataTypeName(&value, &text);
        ASSERT_EQ(text.vt, VT_BSTR);
        EXPECT_EQ(mv::Bstr(text.bstrVal).Utf8(), name) << vt;
    }
}

TEST(BpdReceiver, AnswersBothAdapterInterfacesAndAcceptsEveryCallback) {
    mv::ComPtr<IUnknown> receiver;
    ASSERT_EQ(mv::CreateComObject<CMvCalcBPDReceiver>(nullptr, IID_IUnknown, receiver.PutVoid()),
              S_OK);
    mv::ComPtr<IMvCalcBPDReceiver> own;
    mv::ComPtr<IMvAppMsgReceive> messages;
    mv::ComPtr<IMvMonitorApp> monitor;
    ASSERT_EQ(receiver.As(&own), S_OK);
    ASSERT_EQ(receiver.As(&messages), S_OK);
    ASSERT_EQ(receiver.As(&monitor), S_OK);
    mv::ComPtr<IDispatch> dispatch;
    EXPECT_EQ(receiver.As(&dispatch), E_NOINTERFACE);
    mv::ComPtr<IUnknown> identity;
    ASSERT_EQ(monitor.As(&identity), S_OK);
    EXPECT_EQ(identity.get(), receiver.get());

    for (IDispatch* d :
         {static_cast<IDispatch*>(messages.get()), static_cast<IDispatch*>(monitor.get())}) {
        UINT count = 7;
        DISPID id = 0;
        LPOLESTR name = const_cast<LPOLESTR>(u"OnMessage");
        EXPECT_EQ(d->GetTypeInfoCount(&count), E_NOTIMPL);
        EXPECT_EQ(d->GetTypeInfo(0, 0, nullptr), E_NOTIMPL);
        EXPECT_EQ(d->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), E_NOTIMPL);
        DISPPARAMS none{};
        EXPECT_EQ(d->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr),
                  E_NOTIMPL);
    }
    const mv::Bstr text(u"x");
    for (BSTR b : {static_cast<BSTR>(nullptr), text.get()}) {
        IUnknown* other = b ? receiver.get() : nullptr;
        EXPECT_EQ(messages->OnMessage(b, b, b), S_OK);
        EXPECT_EQ(messages->OnRequest(b, b, b, other), S_OK);
        EXPECT_EQ(messages->OnConnectionChanged(b), S_OK);
        EXPECT_EQ(messages->OnAdapterError(b), S_OK);
        EXPECT_EQ(monitor->CheckApplication(other), S_OK);
    }
}

}  // namespace
