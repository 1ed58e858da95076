// The fixed-DISPID wrappers of the spreadsheet and ADO servers: identifiers,
// argument order and kinds, which strings are copies, results and failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "exceptions.h"
#include "frame/hosted_servers.h"
#include "hosted_servers_sim.h"

namespace {

using hosted::Server;

class HostedWrappersTest : public ::testing::Test {
protected:
    void SetUp() override {
        hosted::Reset();
        hosted::SeedWorkbook(u"Book.xls", {u"Sheet1"}, true);
        hosted::SeedName(u"Book.xls", u"Total", u"Sheet1", 1, 1, 1, 1, u"1");
        ASSERT_EQ(hosted::RegisterServers(hosted::kFunctionServers), S_OK);
        excel_ = Create(Server::Excel);
        ado_ = Create(Server::Ado);
        ASSERT_TRUE(excel_);
        ASSERT_TRUE(ado_);
    }
    void TearDown() override {
        excel_.Reset();
        ado_.Reset();
        hosted::RevokeServers();
        hosted::Reset();
    }
    static mv::ComPtr<IDispatch> Create(Server s) {
        mv::ComPtr<IDispatch> out;
        CoCreateInstance(hosted::ClassId(s), nullptr, CLSCTX_ALL, IID_IDispatch, out.PutVoid());
        return out;
    }

    mv::ComPtr<IDispatch> excel_;
    mv::ComPtr<IDispatch> ado_;
};

// The caller's variables, as a wrapper receives them. The strings are the
// caller's own: a server may replace them, so whatever they hold at the end
// is freed.
struct Vars {
    BSTR pa = SysAllocString(u"Book.xls");
    BSTR pb = SysAllocString(u"Sheet1");
    BSTR pc = SysAllocString(u"Total");
    const BSTR originalA = pa;
    SHORT row = 3, column = 4;
    LONG options = 7;
    VARIANT_BOOL flag = VARIANT_TRUE;
    mv::Variant value{2.5};
    mv::Variant other{LONG{9}};
    IDispatch* recordSet = nullptr;

    Vars() = default;
    Vars(const Vars&) = delete;
    Vars& operator=(const Vars&) = delete;
    ~Vars() {
        for (BSTR p : {pa, pb, pc}) SysFreeString(p);
    }
};

// Takes over an object reference as a VARIANT.
mv::Variant Dispatch(IDispatch* p) {
    mv::Variant out;
    out.vt = VT_DISPATCH;
    out.pdispVal = p;
    return out;
}

// A wrapper's result as a VARIANT: nothing for a wrapper without one, the
// object reference taken over for one that returns an object.
template <class Call>
mv::Variant AsVariant(Call call) {
    using Result = decltype(call());
    if constexpr (std::is_void_v<Result>) {
        call();
        return mv::Variant();
    } else if constexpr (std::is_same_v<Result, IDispatch*>) {
        return Dispatch(call());
    } else {
        return call();
    }
}

struct WrapperCase {
    Server server;
    DISPID id;
    std::function<mv::Variant(IDispatch*, Vars&)> call;
    std::vector<std::string> args;  // as the server saw them
    // Named in the test list, not shown as raw bytes.
    friend void PrintTo(const WrapperCase& c, std::ostream* os) {
        *os << (c.server == Server::Excel ? "Excel " : "Ado ") << c.id;
    }
};

// One wrapper, the arguments it is given and what the server sees. The
// spreadsheet wrappers pass copies of the caller's strings, the ADO ones the
// caller's own.
#define WRAP(server, id, args, ...)                                             \
    WrapperCase {                                                               \
        Server::server, 0x##id,                                                 \
            [](IDispatch* d, Vars& v) {                                         \
                return AsVariant([&] { return server##Server_Call##id args; }); \
            },                                                                  \
        {                                                                       \
            __VA_ARGS__                                                         \
        }                                                                       \
    }
const WrapperCase kCases[] = {
    WRAP(Excel, 60030004, (d, &v.pa), "Book.xls"),
    WRAP(Excel, 60030007, (d, &v.pa, &v.pb, &v.row, &v.column, &v.value), "Book.xls", "Sheet1", "3",
         "4", "2.5"),
    WRAP(Excel, 6003000E, (d, &v.pa, &v.pb, &v.pc, &v.value), "Book.xls", "Sheet1", "Total", "2.5"),
    WRAP(Excel, 6003000A, (d, &v.pa, &v.pb, &v.pc), "Book.xls", "Sheet1", "Total"),
    WRAP(Excel, 60030008, (d, &v.pa, &v.pb), "Book.xls", "Sheet1"),
    WRAP(Excel, 60030009, (d, &v.pa, &v.pb, &v.row, &v.column), "Book.xls", "Sheet1", "3", "4"),
    WRAP(Excel, 6003000F, (d, &v.pa, &v.pb, &v.pc), "Book.xls", "Sheet1", "Total"),
    WRAP(Excel, 60030005, (d, &v.pa, &v.flag), "Book.xls", "-1"),
    WRAP(Excel, 60030010, (d, &v.pa, &v.pb), "Book.xls", "Sheet1"),
    WRAP(Ado, 60030001, (d, &v.pa, &v.pb, &v.pc, &v.options), "Book.xls", "Sheet1", "Total", "7"),
    WRAP(Ado, 60030000, (d, &v.pa, &v.pb, &v.value), "Book.xls", "Sheet1", "2.5"),
    WRAP(Ado, 60030004, (d, &v.recordSet, &v.flag, &v.value), "(null)", "-1", "2.5"),
    WRAP(Ado, 60030003, (d, &v.recordSet, &v.value, &v.other), "(null)", "2.5", "9"),
    WRAP(Ado, 60030002, (d, &v.pa), "Book.xls"),
};
#undef WRAP

class WrapperCallTest : public HostedWrappersTest,
                        public ::testing::WithParamInterface<WrapperCase> {
protected:
    IDispatch* Target() const {
        return GetParam().server == Server::Excel ? excel_.get() : ado_.get();
    }
};

TEST_P(WrapperCallTest, InvokesItsIdentifierWithItsArgumentsInOrder) {
    const WrapperCase& c = GetParam();
    Vars v;
    c.call(Target(), v);
    std::vector<hosted::Call> calls = hosted::Calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].server, c.server);
    EXPECT_EQ(calls[0].id, c.id);
    EXPECT_EQ(calls[0].args, c.args);
}

TEST_P(WrapperCallTest, ServerChangesReachTheCallerExceptInCopiedStrings) {
    const WrapperCase& c = GetParam();
    hosted::SetRewriteArguments(true);
    Vars v;
    c.call(Target(), v);
    const std::vector<std::string>& args = c.args;
    auto passed = [&](const char* text) {
        return std::find(args.begin(), args.end(), text) != args.end();
    };
    if (passed("Book.xls")) {
        const std::u16string first(v.pa ? v.pa : u"");
        if (c.server == Server::Excel) {
            EXPECT_EQ(v.pa, v.originalA);
            EXPECT_EQ(first, u"Book.xls");
        } else {
            EXPECT_EQ(first, u"changed");
        }
    }
    // Numbers, flags and VARIANTs are always the caller's own.
    if (passed("3")) {
        EXPECT_EQ(v.row, 4);
    }
    if (passed("7")) {
        EXPECT_EQ(v.options, 8);
    }
    if (passed("-1")) {
        EXPECT_EQ(v.flag, VARIANT_FALSE);
    }
    if (passed("2.5")) {
        EXPECT_EQ(v.value.vt, VT_BSTR);
    }
}

TEST_P(WrapperCallTest, ReturnsTheServersResultOrNothingForRecalculate) {
    const WrapperCase& c = GetParam();
    mv::Variant answer{std::u16string_view(u"answer")};
    hosted::SetResult(c.server, c.id, answer);
    Vars v;
    if (c.id == 0x60030000 && c.server == Server::Ado) {
        // Its result must be an object: a text does not convert.
        EXPECT_THROW(c.call(Target(), v), COleDispatchException);
        return;
    }
    mv::Variant result = c.call(Target(), v);
    if (c.id == 0x60030008) {
        EXPECT_EQ(result.vt, VT_EMPTY);
        return;
    }
    ASSERT_EQ(result.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(result.bstrVal), u"answer");
}

TEST_P(WrapperCallTest, MemberExceptionArrivesAsDispatchException) {
    const WrapperCase& c = GetParam();
    hosted::SetFailure(c.server, c.id, MV_HR(0x80040210), u"Sheet not found");
    Vars v;
    try {
        c.call(Target(), v);
        ADD_FAILURE() << "no exception";
    } catch (const CException& e) {
        char text[8];
        EXPECT_TRUE(e.GetErrorMessage(text, sizeof text));
        EXPECT_STREQ(text, "Sheet n");  // cut to the buffer
        const auto* dispatch = dynamic_cast<const COleDispatchException*>(&e);
        ASSERT_NE(dispatch, nullptr);
        EXPECT_EQ(dispatch->m_scError, MV_HR(0x80040210));
        EXPECT_EQ(dispatch->source(),
                  u"MvFunctions." + std::u16string(c.server == Server::Excel ? u"clsExcelServer"
                                                                             : u"clsAdoServer"));
    }
    // Copies made for the call are freed, the caller's strings kept.
    EXPECT_EQ(std::u16string(v.pa), u"Book.xls");
}

INSTANTIATE_TEST_SUITE_P(Wrappers, WrapperCallTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<WrapperCase>& info) {
                             char name[32];
                             std::snprintf(name, sizeof name, "%s%08lX",
                                           info.param.server == Server::Excel ? "Excel" : "Ado",
                                           static_cast<unsigned long>(info.param.id));
                             return std::string(name);
                         });

TEST_F(HostedWrappersTest, QueryHandsTheRecordSetReferenceToTheCaller) {
    mv::ComPtr<IDispatch> recordSet = Create(Server::Ado);
    recordSet->AddRef();
    hosted::SetResult(Server::Ado, 0x60030000, Dispatch(recordSet.get()));
    Vars v;
    IDispatch* got = AdoServer_Call60030000(ado_.get(), &v.pa, &v.pb, &v.value);
    EXPECT_EQ(got, recordSet.get());
    if (got) got->Release();
    hosted::Reset();
    // Without a configured result the server answers no record set.
    EXPECT_EQ(AdoServer_Call60030000(ado_.get(), &v.pa, &v.pb, &v.value), nullptr);
}

TEST_F(HostedWrappersTest, FailuresWithoutMemberExceptionStillThrow) {
    struct Row {
        const char* name;
        IDispatch* server;
        HRESULT code;
        const char* message;
    };
    mv::ComPtr<IDispatch> recipe;
    ASSERT_EQ(hosted::RegisterServers(hosted::Bit(Server::Configuration)), S_OK);
    recipe = Create(Server::Configuration);
    ASSERT_TRUE(recipe);
    const Row rows[] = {
        {"NullServer", nullptr, E_POINTER, "Invalid pointer"},
        {"MissingMethod", recipe.get(), DISP_E_MEMBERNOTFOUND, "Member not found."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Vars v;
        try {
            ExcelServer_Call60030004(row.server, &v.pa);
            ADD_FAILURE() << "no exception";
        } catch (const mv::DispatchException& e) {
            EXPECT_EQ(e.code(), row.code);
            const auto* framework = dynamic_cast<const CException*>(&e);
            ASSERT_NE(framework, nullptr);
            char text[128];
            framework->GetErrorMessage(text, sizeof text);
            EXPECT_STREQ(text, row.message);
        }
    }
}

}  // namespace
