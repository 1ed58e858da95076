// Stand-in of the message-bus adapter and its control surface for tests.
// One class (CLSID_MvQuenbusAdapter) whose objects answer the control, header
// and send interfaces; each records what it is asked and fails on request.
// Thread-safe.
#pragma once

#include <string>
#include <vector>

#include "sources/bus_adapter_interfaces.h"

namespace busadapter {

// Puts the class object into the process-local class table (once).
HRESULT Register();
// Takes it out again.
void Revoke();
// Forgets the calls, publications, failures and header; live adapters stay.
void Reset();

// Steps that can be made to fail.
enum class Step {
    Create,           // the class object's CreateInstance
    Initialize,       // IMvAdapterControl::Initialize
    Start,            // IMvAdapterControl::Start
    HeaderInterface,  // QueryInterface for IMvBPDHeader
    PopulateHeader,   // IMvBPDHeader::PopulateHeader
    SendInterface,    // QueryInterface for IMvAdapterMsgSend
    Publish,          // IMvAdapterMsgSend::Publish
};
// Makes the step fail with `hr` (S_OK: the step succeeds; a failing
// interface request answers E_NOINTERFACE whatever failure is given): the
// next `times` calls of the step, or every call when `times` is below 0.
void SetFailure(Step step, HRESULT hr, int times = -1);

// What an adapter answers for IErrorInfo after a failed Publish.
enum class ErrorInfo { None, Described, Empty };
void SetPublishErrorInfo(ErrorInfo kind, const std::u16string& description = u"");

// The text PopulateHeader hands out ("<BPDHeader/>" after Reset).
void SetHeader(const std::u16string& header);

// Calls made since Reset, successful or not.
enum class Call { Create, Initialize, Start, Stop, PopulateHeader, Publish };
int Calls(Call call);

// The adapter objects alive, and the receivers they hold.
int AdaptersAlive();
int ReceiversHeld();

// What the last Initialize was given: whether its receiver answered
// IMvAppMsgReceive, and the properties-file path.
bool LastReceiverAnswered();
std::u16string LastPropertiesFile();

// Each successful Publish, in order.
struct Publication {
    std::u16string subject;
    std::u16string recordName;
    std::u16string document;
};
std::vector<Publication> Publications();

// The most PopulateHeader or Publish calls under way that any Stop found,
// and the PopulateHeader or Publish calls made on an adapter already
// stopped.
int BusyAtStop();
int CallsAfterStop();

}  // namespace busadapter
