// The bus adapter stand-in: what it records, the failures it injects, and
// the error information it answers after a failed publication.
#include <gtest/gtest.h>

#include "bus_adapter_sim.h"

namespace {

using busadapter::Call;
using busadapter::Step;

// A receiver of the adapter's callbacks, or (answers false) one that is not.
class TestReceiver : public mv::ComObjectRoot<TestReceiver>, public IMvAppMsgReceive {
public:
    using InterfaceMap = mv::Interfaces<IMvAppMsgReceive>;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT OnMessage(BSTR, BSTR, BSTR) override { return S_OK; }
    HRESULT OnRequest(BSTR, BSTR, BSTR, IUnknown*) override { return S_OK; }
    HRESULT OnConnectionChanged(BSTR) override { return S_OK; }
    HRESULT OnAdapterError(BSTR) override { return S_OK; }
};
class NotAReceiver : public mv::ComObjectRoot<NotAReceiver>, public IUnknown {
public:
    using InterfaceMap = mv::Interfaces<IUnknown>;
};

class BusAdapter : public ::testing::Test {
protected:
    void SetUp() override {
        busadapter::Reset();
        ASSERT_EQ(busadapter::Register(), S_OK);
    }
    void TearDown() override {
        busadapter::Revoke();
        EXPECT_EQ(busadapter::AdaptersAlive(), 0);
        EXPECT_EQ(busadapter::ReceiversHeld(), 0);
        busadapter::Reset();
    }
    static mv::ComPtr<IMvAdapterControl> Create(HRESULT expected = S_OK) {
        mv::ComPtr<IMvAdapterControl> adapter;
        EXPECT_EQ(CoCreateInstance(CLSID_MvQuenbusAdapter, nullptr, CLSCTX_ALL,
                                   IID_IMvAdapterControl, adapter.PutVoid()),
                  expected);
        return adapter;
    }
    template <class T>
    static mv::ComPtr<IUnknown> Make() {
        mv::ComPtr<IUnknown> object;
        EXPECT_EQ(mv::CreateComObject<T>(nullptr, IID_IUnknown, object.PutVoid()), S_OK);
        return object;
    }
};

TEST_F(BusAdapter, KeepsTheReceiverFromInitializeUntilStopAndRecordsPublications) {
    auto adapter = Create();
    ASSERT_TRUE(adapter);
    EXPECT_EQ(busadapter::AdaptersAlive(), 1);
    EXPECT_EQ(adapter->Initialize(Make<NotAReceiver>().get(), mv::Bstr(u"/p.xml").get()),
              E_NOINTERFACE);
    EXPECT_FALSE(busadapter::LastReceiverAnswered());
    EXPECT_EQ(busadapter::ReceiversHeld(), 0);
    EXPECT_EQ(adapter->Initialize(Make<TestReceiver>().get(), mv::Bstr(u"/base/p.xml").get()),
              S_OK);
    EXPECT_TRUE(busadapter::LastReceiverAnswered());
    EXPECT_EQ(busadapter::LastPropertiesFile(), u"/base/p.xml");
    EXPECT_EQ(busadapter::ReceiversHeld(), 1);
    EXPECT_EQ(adapter->Start(), S_OK);

    mv::ComPtr<IMvBPDHeader> header;
    mv::ComPtr<IMvAdapterMsgSend> sender;
    ASSERT_EQ(adapter.As(&header), S_OK);
    ASSERT_EQ(adapter.As(&sender), S_OK);
    busadapter::SetHeader(u"<H>1</H>");
    mv::Bstr text;
    EXPECT_EQ(header->PopulateHeader(text.Out()), S_OK);
    EXPECT_EQ(text.view(), u"<H>1</H>");
    mv::Bstr document(u"<doc/>");
    BSTR raw = document.Detach();
    EXPECT_EQ(sender->Publish(mv::Bstr(u"SUBJ").get(), nullptr, &raw), S_OK);
    document = mv::Bstr::Attach(raw);
    const auto sent = busadapter::Publications();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].subject, u"SUBJ");
    EXPECT_EQ(sent[0].recordName, u"");
    EXPECT_EQ(sent[0].document, u"<doc/>");

    EXPECT_EQ(adapter->Stop(), S_OK);
    EXPECT_EQ(busadapter::ReceiversHeld(), 0);
    EXPECT_EQ(busadapter::BusyAtStop(), 0);
    EXPECT_EQ(busadapter::CallsAfterStop(), 0);
    EXPECT_EQ(header->PopulateHeader(text.Out()), S_OK);
    EXPECT_EQ(busadapter::CallsAfterStop(), 1);
    for (auto [call, count] : {std::pair{Call::Create, 1}, std::pair{Call::Initialize, 2},
                               std::pair{Call::Start, 1}, std::pair{Call::Stop, 1},
                               std::pair{Call::PopulateHeader, 2}, std::pair{Call::Publish, 1}})
        EXPECT_EQ(busadapter::Calls(call), count) << static_cast<int>(call);
}

TEST_F(BusAdapter, InjectedFailuresHitTheirStepForTheCallsAsked) {
    Create();
    busadapter::SetFailure(Step::Create, E_OUTOFMEMORY, 1);
    Create(E_OUTOFMEMORY);
    auto adapter = Create();
    ASSERT_TRUE(adapter);
    busadapter::SetFailure(Step::Initialize, E_FAIL);
    EXPECT_EQ(adapter->Initialize(Make<TestReceiver>().get(), nullptr), E_FAIL);
    EXPECT_EQ(busadapter::ReceiversHeld(), 0);
    busadapter::SetFailure(Step::Start, E_ACCESSDENIED, 2);
    EXPECT_EQ(adapter->Start(), E_ACCESSDENIED);
    EXPECT_EQ(adapter->Start(), E_ACCESSDENIED);
    EXPECT_EQ(adapter->Start(), S_OK);

    mv::ComPtr<IMvBPDHeader> header;
    mv::ComPtr<IMvAdapterMsgSend> sender;
    busadapter::SetFailure(Step::HeaderInterface, E_FAIL);
    busadapter::SetFailure(Step::SendInterface, E_FAIL);
    EXPECT_EQ(adapter.As(&header), E_NOINTERFACE);
    EXPECT_EQ(adapter.As(&sender), E_NOINTERFACE);
    busadapter::Reset();
    ASSERT_EQ(adapter.As(&header), S_OK);
    ASSERT_EQ(adapter.As(&sender), S_OK);
    busadapter::SetFailure(Step::PopulateHeader, E_FAIL);
    mv::Bstr text;
    EXPECT_EQ(header->PopulateHeader(text.Out()), E_FAIL);
    EXPECT_EQ(text.get(), nullptr);

    // IErrorInfo is answered only after a failed Publish, as configured.
    const struct {
        busadapter::ErrorInfo kind;
        bool answered;
        const char16_t* description;
    } rows[] = {{busadapter::ErrorInfo::None, false, u""},
                {busadapter::ErrorInfo::Empty, true, u""},
                {busadapter::ErrorInfo::Described, true, u"link down"}};
    for (const auto& r : rows) {
        busadapter::SetPublishErrorInfo(r.kind, u"link down");
        mv::ComPtr<IErrorInfo> info;
        EXPECT_EQ(sender.As(&info), E_NOINTERFACE) << "before a failure";
        busadapter::SetFailure(Step::Publish, E_FAIL, 1);
        BSTR none = nullptr;
        EXPECT_EQ(sender->Publish(nullptr, nullptr, &none), E_FAIL);
        EXPECT_EQ(sender.As(&info), r.answered ? S_OK : E_NOINTERFACE);
        if (info) {
            mv::Bstr description;
            EXPECT_EQ(info->GetDescription(description.Out()), S_OK);
            EXPECT_EQ(description.view(), r.description);
        }
        EXPECT_EQ(sender->Publish(nullptr, nullptr, &none), S_OK);
        EXPECT_EQ(sender.As(&info), E_NOINTERFACE) << "after a success";
    }
    EXPECT_EQ(busadapter::Publications().size(), 3u);
}

}  // namespace
