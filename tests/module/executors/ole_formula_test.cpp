// Automation-object formulas against the test automation server: the three
// passes with their arguments and conversions, every failure's text, the
// per-thread object cache with its age rule, and the shared helpers.
#include <functional>

#include "executors/ole_calls.h"
#include "frame/calc_variant.h"
#include "ole_formula_test_support.h"

namespace calculation_test {
namespace {

TEST_F(OleFormula, WritesCallsAndReadsThroughTheServerAndLooksMembersUpOnce) {
    Standard();
    for (int run = 0; run < 2; ++run) EXPECT_EQ(Run(), "");
    EXPECT_EQ(seen_, (std::vector<VARTYPE>{VT_DISPATCH, VT_BYREF | VT_R8, VT_R8}));
    ExpectSame(Value(u"B"), Typed(VT_I4, 42));  // 41.5 rounds to even
    mv::ComPtr<IMvParameter> c;
    calc_->GetParameter(mv::Bstr(u"C").get(), c.Put());
    EXPECT_EQ(object_, static_cast<IDispatch*>(c.get()));
    ExpectSame(Value(u"C"), Typed(VT_R8, 5.0));
    ExpectSame(Value(u"D"), Typed(VT_I4, 8));
    ExpectSame(Value(u"ReturnValue"), mv::Variant(u"done"));
    const auto lookups = [] {
        return std::vector<int>{autoserver::Lookups(u"A"), autoserver::Lookups(u"Compute"),
                                autoserver::Lookups(u"D")};
    };
    EXPECT_EQ(lookups(), (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(calc_->ClearCache(), S_OK);
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(lookups(), (std::vector<int>{2, 2, 2}));

    // Descriptions loaded again look their members up again.
    mv::ComPtr<IStream> stream;
    mv::ComPtr<IPersistStream> persist;
    ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.Put()), S_OK);
    ASSERT_EQ(calc_.As(&persist), S_OK);
    ASSERT_EQ(persist->Save(stream.get(), TRUE), S_OK);
    ASSERT_EQ(stream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
    calc_.Reset();
    ASSERT_EQ(CoCreateInstance(CLSID_MvCalculation, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IPersistStream, persist.PutVoid()),
              S_OK);
    ASSERT_EQ(persist->Load(stream.get()), S_OK);
    ASSERT_EQ(persist.As(&calc_), S_OK);
    persist.Reset();
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(lookups(), (std::vector<int>{3, 3, 3}));
}

TEST_F(OleFormula, EachFailureSetsItsTextAndStopsTheLaterEntriesAndPasses) {
    using autoserver::Throw;
    const std::string member =
        "DISP_E_MEMBERNOTFOUND: The requested member does not exist, or the call to Invoke tried "
        "to set the value of a read-only property.";
    struct Row {
        std::function<void(OleFormula&)> arrange;
        std::string text;
        int computes, reads;  // Invoke calls of Compute and D
    };
    const Row rows[] = {
        {[](OleFormula& t) { t.Entry(u"X", mvcProperty, VT_R8, u"Nope"); },
         "Parameter \"Nope\" not found for property \"X\"\n", 0, 0},
        {[](OleFormula& t) { t.Entry(u"X", mvcProperty, -1, u"A"); },
         "Invalid Value Type for Parameter A\n", 0, 0},
        {[](OleFormula& t) { t.Entry(u"X", mvcProperty, 65535, u"A"); },
         "Invalid Value Type for Parameter A\n", 0, 0},
        {[](OleFormula&) { autoserver::FailInvoke(u"A", DISP_E_EXCEPTION, u"bad A"); },
         "Error Setting Object Property A: bad A", 0, 0},
        {[](OleFormula&) { autoserver::FailInvoke(u"A", DISP_E_EXCEPTION); },
         "Error Setting Object Property A: Dispatch error", 0, 0},
        {[](OleFormula&) { autoserver::FailInvoke(u"A", DISP_E_UNKNOWNNAME, u"x"); },
         "Error Setting Object Property A: Error from IDispatch:Invoke:80020006", 0, 0},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"A", Throw::Dispatch, "nope", E_ABORT); },
         "Error Setting Object Property A. nope.\n", 0, 0},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"A", Throw::Logic, "L"); },
         "Error Setting Object Property A. A logic error occurred: L.\n", 0, 0},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"A", Throw::Int); },
         "Error Setting Object Property A\n", 0, 0},
        {[](OleFormula& t) { t.Arg(t.Method().get(), u"z", mvcInput, VT_R8, u"Zed"); },
         "Error Executing Method \"Compute\": Parameter 'Zed' not found for Argument 4", 0, 0},
        {[](OleFormula& t) { t.Arg(t.Method().get(), u"z", mvcOutput, VT_DECIMAL, u"B"); },
         "Error Executing Method \"Compute\": Invalid Value Type for Parameter 'B' Argument 4", 0,
         0},
        {[](OleFormula& t) { t.Arg(t.Method().get(), u"z", mvcInput, -1, u"B"); },
         "Error Executing Method \"Compute\": Invalid Value Type for Parameter 'B' Argument 4", 0,
         0},
        {[](OleFormula&) { autoserver::FailInvoke(u"Compute", DISP_E_NONAMEDARGS); },
         "Error Executing Method \"Compute\": DISP_E_NONAMEDARGS: This implementation of "
         "IDispatch does not support named arguments.",
         1, 0},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"Compute", Throw::Runtime, "R"); },
         "Error Executing Method \"Compute\": A runtime error occurred: R.", 1, 0},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"Compute", Throw::Text, "T"); },
         "Error Executing Method \"Compute\": An unknown exception has occurred.", 1, 0},
        {[](OleFormula& t) {
             t.Param(u"E", mvcOutput, VT_DISPATCH);  // no number converts to an object
             t.Arg(t.Method().get(), u"e", mvcOutput, VT_R8, u"E");
             t.Arg(t.Method().get(), u"f", mvcOutput, VT_R8, u"E");
             t.Arg(t.Method().get(), u"g", mvcOutput, VT_R8, u"B");
         },
         "Invalid Value Type for Method Argument 4\nInvalid Value Type for Method Argument 5", 1,
         0},
        {[](OleFormula&) { autoserver::FailInvoke(u"D", DISP_E_MEMBERNOTFOUND); },
         "Error Setting Object Property D: " + member, 1, 1},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"D", Throw::Logic, "L"); },
         "A logic error occurred: L", 1, 1},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"D", Throw::Framework, "F"); },
         "Error Setting Object Property D. F.\n", 1, 1},
        {[](OleFormula&) { autoserver::ThrowFromInvoke(u"D", Throw::Other); },
         "Error Setting Object Property D\n", 1, 1},
        {[](OleFormula&) { autoserver::DeclareProperty(u"D", mv::Variant(u"seven")); },
         "Invalid Value Type for Parameter D\n", 1, 1},
        {[](OleFormula& t) {
             mv::ComPtr<IMvObjCollection> methods;
             t.calc_->get_OleMethods(methods.Put());
             methods->Add(mv::Bstr(u"Odd").get(), parameter_test::NewParameter().get());
         },
         "Error reading OLE method entry 4\n", 0, 0},
        {[](OleFormula& t) {
             mv::ComPtr<IMvObjCollection> args;
             t.Method()->get_Arguments(args.Put());
             args->Add(mv::Bstr(u"Odd").get(), parameter_test::NewParameter().get());
         },
         "Error Executing Method \"Compute\": Error reading argument 4", 0, 0},
        {[](OleFormula&) { autoserver::ThrowFromLookup("lookup"); },
         "\nA runtime error occurred: lookup.", 0, 0},
        {[](OleFormula& t) {  // the property passes skip an output A
             mv::ComPtr<IMvParameter> a;
             t.calc_->GetParameter(mv::Bstr(u"A").get(), a.Put());
             a->put_ParameterType(mvcOutput);
             autoserver::ThrowFromLookup("lookup");
         },
         "An error exception was caught. A runtime error occurred: lookup.", 0, 0},
        {[](OleFormula& t) { t.calc_->put_OLEObjectName(mv::Bstr(u"No.Such").get()); },
         "Failed to find ProgID: No.Such", 0, 0},
        {[](OleFormula& t) { t.calc_->put_OLEObjectName(mv::Bstr(u"").get()); },
         "Failed to find ProgID: ", 0, 0},
        {[](OleFormula&) { autoserver::FailCreation(E_OUTOFMEMORY); },
         "Failed to create object: MvTest.Automation.1", 0, 0},
    };
    for (const Row& row : rows) {
        TearDown();
        SetUp();
        Standard();
        row.arrange(*this);
        SCOPED_TRACE(row.text);
        EXPECT_EQ(Run(), row.text);
        EXPECT_EQ(autoserver::Invocations(u"Compute"), row.computes);
        EXPECT_EQ(autoserver::Invocations(u"D"), row.reads);
        if (row.reads == 0) {
            EXPECT_EQ(Value(u"D").vt, VT_EMPTY);
        }
    }
    // A failed creation is tried again by the next run.
    autoserver::FailCreation(S_OK);
    EXPECT_EQ(Run(), "");
}

TEST_F(OleFormula, InvokeErrorsHaveTheirTextsAndUnnamedCodesBecomeOneResult) {
    const std::pair<HRESULT, const char*> rows[] = {
        {DISP_E_UNKNOWNINTERFACE,
         "DISP_E_UNKNOWNINTERFACE: The interface identifier passed in riid is not IID_NULL."},
        {DISP_E_MEMBERNOTFOUND,
         "DISP_E_MEMBERNOTFOUND: The requested member does not exist, or the call to Invoke tried "
         "to set the value of a read-only property."},
        {DISP_E_PARAMNOTFOUND,
         "DISP_E_PARAMNOTFOUND: One of the parameter DISPIDs does not correspond to a parameter on "
         "the method. In this case, puArgErr should be set to the first argument that contains "
         "the error."},
        {DISP_E_TYPEMISMATCH,
         "DISP_E_TYPEMISMATCH: One or more of the arguments could not be coerced. The index within "
         "rgvarg of the first parameter with the incorrect type is returned in the puArgErr "
         "parameter."},
        {DISP_E_NONAMEDARGS,
         "DISP_E_NONAMEDARGS: This implementation of IDispatch does not support named arguments."},
        {DISP_E_BADVARTYPE,
         "DISP_E_BADVARTYPE: One of the arguments in rgvarg is not a valid variant type."},
        {DISP_E_EXCEPTION, "described"},
        {DISP_E_OVERFLOW,
         "DISP_E_OVERFLOW: One of the arguments in rgvarg could not be coerced to the specified "
         "type."},
        {DISP_E_UNKNOWNLCID,
         "DISP_E_UNKNOWNLCID: The member being invoked interprets string arguments according to "
         "the LCID, and the LCID is not recognized. If the LCID is not needed to interpret "
         "arguments, this error should not be returned."},
        {DISP_E_BADPARAMCOUNT,
         "DISP_E_BADPARAMCOUNT: The number of elements provided to DISPPARAMS is different from "
         "the number of arguments accepted by the method or property."},
        {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL: A required parameter was omitted."},
        {DISP_E_UNKNOWNNAME, "Error from IDispatch:Invoke:80020006"},
        {DISP_E_BADINDEX, "Error from IDispatch:Invoke:8002000b"},
        {DISP_E_ARRAYISLOCKED, "Error from IDispatch:Invoke:8002000d"},
    };
    for (const auto& [code, text] : rows) {
        HRESULT hr = code;
        EXCEPINFO info{};
        info.bstrDescription = SysAllocString(u"described");
        info.bstrSource = SysAllocString(u"source");
        info.bstrHelpFile = SysAllocString(u"help");
        std::string message = "prefix: ";
        GetInvokeError(hr, info, message);
        EXPECT_EQ(message, std::string("prefix: ") + text);
        EXPECT_EQ(hr, std::string(text).starts_with("Error from") ? HRESULT(0x800706BF) : code);
        EXPECT_EQ(info.bstrDescription, nullptr);
        EXPECT_EQ(info.bstrSource, nullptr);
        EXPECT_EQ(info.bstrHelpFile, nullptr);
    }
    // Through the property pass, which returns the replaced result.
    Standard();
    autoserver::FailInvoke(u"A", DISP_E_UNKNOWNNAME);
    mv::ComPtr<IDispatch> object;
    ASSERT_EQ(CoCreateInstance(autoserver::ClassId(), nullptr, CLSCTX_ALL, IID_IDispatch,
                               object.PutVoid()),
              S_OK);
    EXPECT_EQ(Impl().SetOLEProps(object.get()), HRESULT(0x800706BF));
}

TEST_F(OleFormula, ByReferenceVariantsComeBackInTheirParametersTypes) {
    Param(u"V", mvcInputOutput, VT_R8, mv::Variant(1.0));
    Param(u"U", mvcUnUsed, VT_I4, mv::Variant(LONG{3}));  // never set: by reference
    autoserver::DeclareMethod(u"Shape", [](autoserver::Instance&, DISPPARAMS& p, VARIANT* result) {
        VARIANT* v = p.rgvarg[1].pvarVal;
        VariantClear(v);
        v->vt = VT_BSTR;
        v->bstrVal = SysAllocString(u"7.5");
        *p.rgvarg[0].plVal += 1;
        result->vt = VT_ARRAY | VT_R8;
        result->parray = SafeArrayCreateVector(VT_R8, 0, 3);
        return S_OK;
    });
    auto shape = Entry(u"Shape", mvcMethod, 0, u"ReturnValue");
    Arg(shape.get(), u"v", mvcInputOutput, VT_VARIANT, u"V");
    Arg(shape.get(), u"u", mvcUnUsed, VT_I4, u"U");
    Entry(u"Ignored", 0, VT_R8, u"Missing");
    Entry(u"Also", 5, VT_R8, u"Missing");
    EXPECT_EQ(Run(), "");
    ExpectSame(Value(u"V"), Typed(VT_R8, 7.5));
    ExpectSame(Value(u"U"), Typed(VT_I4, 3));  // read back but not an output
    EXPECT_EQ(Value(u"ReturnValue").vt, VT_ARRAY | VT_R8);
}

TEST_F(OleFormula, ObjectsAreKeptPerThreadAndOtherThreadsAgeOutAfterAnHour) {
    Standard();
    const auto live = [] {
        std::vector<int> serials;
        for (const auto& i : autoserver::LiveInstances()) serials.push_back(i.serial);
        std::sort(serials.begin(), serials.end());
        return serials;
    };
    g_ticks = 1000;
    Run();
    EXPECT_EQ(Run(), "");
    Worker other;
    other.Run([&] { EXPECT_EQ(Run(), ""); });
    EXPECT_EQ(live(), (std::vector<int>{1, 2}));
    g_ticks = 1000 + 3600000;
    other.Run([&] { Run(); });
    EXPECT_EQ(live(), (std::vector<int>{1, 2}));
    g_ticks = 1000 + 3600001;
    other.Run([&] { Run(); });
    EXPECT_EQ(live(), (std::vector<int>{1, 3}));
    g_ticks += 36000000;
    Run();
    EXPECT_EQ(live(), (std::vector<int>{1, 3}));
    EXPECT_EQ(autoserver::Creations(), 3);
}

TEST(OleFormulaHelpers, ConversionChecksTheTypeNumberAndByReferenceNeedsAPointerType) {
    const mv::Variant source(2.5);
    for (LONG bad : {-1L, 65535L, 70000L}) {
        mv::Variant target(LONG{9});
        EXPECT_EQ(CalcVariantChangeType(&target, &source, bad), E_INVALIDARG);
        ExpectSame(target, mv::Variant(LONG{9}));
    }
    mv::Variant target;
    EXPECT_EQ(CalcVariantChangeType(&target, &source, VT_VARIANT), S_OK);
    ExpectSame(target, source);
    EXPECT_EQ(CalcVariantChangeType(&target, &source, VT_I2), S_OK);
    ExpectSame(target, Typed(VT_I2, 2));

    for (LONG type : {2, 3, 4, 5, 6, 7, 8, 11, 12, 17, 0, 1, 10, 13, 14, 16}) {
        mv::Variant argument, storage;
        const HRESULT hr = SetupByRefArgument(&argument, &source, &storage, type);
        SCOPED_TRACE(type);
        if (type == 0 || type == 1) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(argument.vt, VT_EMPTY);
        } else if (type >= 10 && type != 11 && type != 12 && type != 17) {
            EXPECT_TRUE(FAILED(hr));
            if (type == 14 || type == 16) {
                EXPECT_EQ(hr, DISP_E_BADVARTYPE);
            }
            EXPECT_EQ(storage.vt, VT_EMPTY);
        } else {
            EXPECT_EQ(hr, S_OK);
            EXPECT_EQ(argument.vt, VT_BYREF | type);
            EXPECT_EQ(argument.byref, type == 12 ? static_cast<void*>(&storage)
                                                 : static_cast<void*>(&storage.llVal));
        }
    }
}

}  // namespace
}  // namespace calculation_test
