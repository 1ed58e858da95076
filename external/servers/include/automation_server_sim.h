// A general automation server for tests of formulas that drive an automation
// object: a COM class with a hand-written IDispatch whose members are
// declared at run time, and its control surface.
//
// Register puts the class object into the process-local class table and
// the ProgID "MvTest.Automation.1" into the registry store, so that
// CLSIDFromProgID and CoCreateInstance find it as any registered server.
//
// Members are process-wide and their names compare ignoring ASCII case. A
// member gets its DISPID (1, 2, ... in order of first lookup) at the first
// GetIDsOfNames that names it; an undeclared name gives
// DISP_E_UNKNOWNNAME. A property is stored per instance, starting from its
// declared value; a put takes the one argument named DISPID_PROPERTYPUT. A
// method runs its body with the DISPPARAMS as Invoke got them (rgvarg in
// reverse order of the parameters) and may write through by-reference
// arguments. Everything here is thread-safe.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "com.h"

namespace autoserver {

constexpr const char16_t* kProgId = u"MvTest.Automation.1";
const CLSID& ClassId();

// Class object and ProgID; registering twice keeps one registration.
HRESULT Register();
// Revokes the class object and removes the ProgID key.
void Revoke();
// Forgets members, DISPIDs, counts and injections; live instances keep
// being counted.
void Reset();

// One object of the server, as a method body sees it.
class Instance {
public:
    virtual ~Instance() = default;
    virtual int Serial() const = 0;  // 1, 2, ... in order of creation since the last Reset
    virtual mv::Variant Get(std::u16string_view property) const = 0;
    virtual void Set(std::u16string_view property, const VARIANT& value) = 0;
};

using MethodBody = std::function<HRESULT(Instance& self, DISPPARAMS& params, VARIANT* result)>;
void DeclareProperty(std::u16string_view name, const VARIANT& initial);
void DeclareMethod(std::u16string_view name, MethodBody body);

// GetIDsOfNames calls that named `name`, and Invoke calls that reached the
// member, since the last Reset.
int Lookups(std::u16string_view name);
int Invocations(std::u16string_view name);

// Instances created since the last Reset, and the live ones now.
int Creations();
struct InstanceInfo {
    int serial;
    std::thread::id creator;
    ULONG references;
};
std::vector<InstanceInfo> LiveInstances();

// Creation fails with `hr` (S_OK: succeeds).
void FailCreation(HRESULT hr);
// Invoke of member `name` returns `hr` without doing its work; a non-empty
// description goes into the EXCEPINFO with a source and a help file (S_OK
// forgets the injection).
void FailInvoke(std::u16string_view name, HRESULT hr, std::u16string_view description = {});
// Invoke of member `name` throws instead: a dispatch exception (with `code`
// and `text` as its description), another framework exception, a
// std::logic_error, a std::runtime_error (each with `text`, which may be
// empty), a thrown long (`code`), an int (`code`), the C string `text`, or
// a double.
enum class Throw { None, Dispatch, Framework, Logic, Runtime, Long, Int, Text, Other };
void ThrowFromInvoke(std::u16string_view name, Throw kind, std::string text = {},
                     HRESULT code = E_FAIL);
// GetIDsOfNames throws a std::runtime_error with `text` while set (empty:
// answers again).
void ThrowFromLookup(std::string text);

}  // namespace autoserver
