// The recipe-server stand-ins: the configuration server (its ProgID only),
// the data-access server with its connection objects, and the control-recipe
// server over the recipe database that tests seed.
#include <algorithm>
#include <string>
#include <tuple>

#include "hosted_internal.h"

MV_DEFINE_GUID(IID_IHostedRecipeServer, 0xD1E6BBE7, 0x855B, 0x41D0, 0xBB, 0x5D, 0x4F, 0x85, 0xDB,
               0x1C, 0xBF, 0x8A);
MV_DEFINE_GUID(IID_IHostedDataAccess, 0x3E9C2A57, 0x61D4, 0x4B0F, 0x8A, 0x2E, 0x17, 0xC4, 0x5B,
               0x90, 0xD3, 0x66);
MV_DEFINE_GUID(IID_IHostedControlRecipe, 0x7A41F0C2, 0x9B38, 0x4E65, 0xB1, 0x0D, 0x52, 0x8F, 0x3C,
               0x17, 0xA9, 0xE4);
MV_DEFINE_GUID(IID_IHostedRecipeConnection, 0xB86D14E9, 0x0C5A, 0x47F3, 0x9E, 0x61, 0x2D, 0x7B,
               0x48, 0xF0, 0x15, 0xC2);

namespace hosted {

struct IHostedRecipeServer : IDispatch {
    virtual HRESULT get_ProgID(BSTR* progId) = 0;
};

// Each method answers a VT_BOOL; see the control surface for the arguments.
struct IHostedDataAccess : IHostedRecipeServer {
    virtual HRESULT NewConnection(IDispatch** connection, BSTR* errorText, VARIANT* result) = 0;
    virtual HRESULT OpenConnection(IDispatch** connection, BSTR server, BSTR driver, BSTR database,
                                   BSTR user, BSTR password, BSTR* errorText, VARIANT* result) = 0;
};

struct IHostedControlRecipe : IHostedRecipeServer {
    virtual HRESULT ReadValue(IDispatch** connection, SHORT controlId, SHORT itemId,
                              SHORT parameterId, VARIANT* value, BSTR* errorText,
                              VARIANT* result) = 0;
    virtual HRESULT WriteValue(IDispatch** connection, SHORT controlId, SHORT itemId,
                               SHORT parameterId, VARIANT value, BSTR* errorText,
                               VARIANT* result) = 0;
    virtual HRESULT SetControlID(IDispatch** connection, SHORT controlId, BSTR* errorText,
                                 VARIANT* result) = 0;
};

// A connection object of the data-access server (free-threaded).
struct IHostedRecipeConnection : IDispatch {
    virtual HRESULT get_Opened(VARIANT_BOOL* opened) = 0;
    // Not on the dispatch interface.
    virtual void MarkOpened() = 0;
    virtual bool IsOpened() const = 0;
};

}  // namespace hosted

MV_IID_OF(hosted::IHostedRecipeServer, IID_IHostedRecipeServer);
MV_IID_OF(hosted::IHostedDataAccess, IID_IHostedDataAccess);
MV_IID_OF(hosted::IHostedControlRecipe, IID_IHostedControlRecipe);
MV_IID_OF(hosted::IHostedRecipeConnection, IID_IHostedRecipeConnection);

namespace hosted {

MV_DISPATCH_TABLE(IHostedRecipeServer, mv::PropGet<&IHostedRecipeServer::get_ProgID>(1, u"ProgID"))

MV_DISPATCH_TABLE(IHostedDataAccess, mv::PropGet<&IHostedRecipeServer::get_ProgID>(1, u"ProgID"),
                  mv::Method<&IHostedDataAccess::NewConnection>(0x60030000, u"NewConnection"),
                  mv::Method<&IHostedDataAccess::OpenConnection>(0x60030002, u"OpenConnection"))

MV_DISPATCH_TABLE(IHostedControlRecipe, mv::PropGet<&IHostedRecipeServer::get_ProgID>(1, u"ProgID"),
                  mv::Method<&IHostedControlRecipe::ReadValue>(0x60030000, u"ReadValue"),
                  mv::Method<&IHostedControlRecipe::WriteValue>(0x60030001, u"WriteValue"),
                  mv::Method<&IHostedControlRecipe::SetControlID>(0x60030002, u"SetControlID"))

MV_DISPATCH_TABLE(IHostedRecipeConnection,
                  mv::PropGet<&IHostedRecipeConnection::get_Opened, VT_BOOL>(1, u"Opened"))

namespace detail {
namespace {

// Answers a recipe method: true, or false with `error` in the error text.
HRESULT Answer(VARIANT* result, BSTR* errorText, bool ok, std::u16string_view error = {}) {
    result->vt = VT_BOOL;
    result->boolVal = ok ? VARIANT_TRUE : VARIANT_FALSE;
    if (!ok) SetErrorText(errorText, error);
    return S_OK;
}

std::u16string Number(int n) {
    return mv::ToUtf16(std::to_string(n));
}

// The connection object behind an argument, or null with the reason.
mv::ComPtr<IHostedRecipeConnection> ConnectionOf(IDispatch* arg, std::u16string* error) {
    mv::ComPtr<IHostedRecipeConnection> c;
    if (!arg || FAILED(arg->QueryInterface(IID_IHostedRecipeConnection, c.PutVoid()))) {
        c.Reset();
        *error = u"No connection of the data-access server.";
    }
    return c;
}

bool OpenConnectionOf(IDispatch* arg, std::u16string* error) {
    mv::ComPtr<IHostedRecipeConnection> c = ConnectionOf(arg, error);
    if (c && !c->IsOpened()) *error = u"The connection is not open.";
    return c && c->IsOpened();
}

std::u16string NotFound(SHORT controlId, SHORT itemId, SHORT parameterId) {
    return u"Item " + Number(itemId) + u" parameter " + Number(parameterId) +
           u" not found in control recipe " + Number(controlId) + u".";
}

class CHostedRecipeConnection : public mv::ComObjectRoot<CHostedRecipeConnection>,
                                public mv::DispatchImpl<IHostedRecipeConnection> {
public:
    using InterfaceMap =
        mv::Interfaces<IHostedRecipeConnection, mv::Via<IDispatch, IHostedRecipeConnection>>;
    HRESULT FinalConstruct() {
        Bump(Counter::RecipeConnectionsAlive);
        return S_OK;
    }
    void FinalRelease() { Bump(Counter::RecipeConnectionsAlive, -1); }

    HRESULT get_Opened(VARIANT_BOOL* opened) override {
        if (!opened) return E_POINTER;
        *opened = opened_ ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    void MarkOpened() override { opened_ = true; }
    bool IsOpened() const override { return opened_; }

private:
    std::atomic<bool> opened_{false};
};

class CHostedConfiguration : public mv::ComObjectRoot<CHostedConfiguration>,
                             public mv::DispatchImpl<IHostedRecipeServer>,
                             private Counted<Server::Configuration> {
public:
    using InterfaceMap =
        mv::Interfaces<IHostedRecipeServer, mv::Via<IDispatch, IHostedRecipeServer>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() { Destruct(); }
    HRESULT get_ProgID(BSTR* progId) override { return ProgIdOf(Server::Configuration, progId); }
};

class CHostedDataAccess : public mv::ComObjectRoot<CHostedDataAccess>,
                          public mv::DispatchImpl<IHostedDataAccess>,
                          private Counted<Server::DataAccess> {
public:
    using InterfaceMap = mv::Interfaces<IHostedDataAccess, mv::Via<IDispatch, IHostedDataAccess>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() { Destruct(); }
    HRESULT get_ProgID(BSTR* progId) override { return ProgIdOf(Server::DataAccess, progId); }

    HRESULT NewConnection(IDispatch** connection, BSTR* errorText, VARIANT* result) override {
        return Serve(kServer, IID_IHostedDataAccess, 0x60030000, {A(connection), A(errorText)},
                     result, [&](VARIANT* r) {
                         std::u16string refusal;
                         if (Refused(kServer, 0x60030000, &refusal))
                             return Answer(r, errorText, false, refusal);
                         mv::ComPtr<mv::ComObject<CHostedRecipeConnection>> c;
                         HRESULT hr = mv::MakeComObject<CHostedRecipeConnection>(&c);
                         if (FAILED(hr)) return hr;
                         if (*connection) (*connection)->Release();
                         *connection = static_cast<IHostedRecipeConnection*>(c.Detach());
                         return Answer(r, errorText, true);
                     });
    }
    HRESULT OpenConnection(IDispatch** connection, BSTR server, BSTR driver, BSTR database,
                           BSTR user, BSTR password, BSTR* errorText, VARIANT* result) override {
        return Serve(kServer, IID_IHostedDataAccess, 0x60030002,
                     {A(connection), In(&server), In(&driver), In(&database), In(&user),
                      In(&password), A(errorText)},
                     result, [&](VARIANT* r) {
                         std::u16string error;
                         if (Refused(kServer, 0x60030002, &error))
                             return Answer(r, errorText, false, error);
                         mv::ComPtr<IHostedRecipeConnection> c = ConnectionOf(*connection, &error);
                         if (c) c->MarkOpened();
                         return Answer(r, errorText, static_cast<bool>(c), error);
                     });
    }

private:
    static constexpr Server kServer = Server::DataAccess;
};

class CHostedControlRecipe : public mv::ComObjectRoot<CHostedControlRecipe>,
                             public mv::DispatchImpl<IHostedControlRecipe>,
                             private Counted<Server::ControlRecipe> {
public:
    using InterfaceMap =
        mv::Interfaces<IHostedControlRecipe, mv::Via<IDispatch, IHostedControlRecipe>>;
    HRESULT FinalConstruct() { return Construct(); }
    void FinalRelease() { Destruct(); }
    HRESULT get_ProgID(BSTR* progId) override { return ProgIdOf(kServer, progId); }

    HRESULT ReadValue(IDispatch** connection, SHORT controlId, SHORT itemId, SHORT parameterId,
                      VARIANT* value, BSTR* errorText, VARIANT* result) override {
        return Serve(
            kServer, IID_IHostedControlRecipe, 0x60030000,
            {A(connection), In(&controlId), In(&itemId), In(&parameterId), A(value), A(errorText)},
            result, [&](VARIANT* r) {
                std::u16string error;
                if (!Usable(0x60030000, *connection, &error))
                    return Answer(r, errorText, false, error);
                State& s = S();
                std::lock_guard lock(s.m);
                auto it = s.recipeValues.find({controlId, itemId, parameterId});
                if (it == s.recipeValues.end())
                    return Answer(r, errorText, false, NotFound(controlId, itemId, parameterId));
                HRESULT hr = VariantCopy(value, &it->second);
                return FAILED(hr) ? hr : Answer(r, errorText, true);
            });
    }
    HRESULT WriteValue(IDispatch** connection, SHORT controlId, SHORT itemId, SHORT parameterId,
                       VARIANT value, BSTR* errorText, VARIANT* result) override {
        return Serve(kServer, IID_IHostedControlRecipe, 0x60030001,
                     {A(connection), In(&controlId), In(&itemId), In(&parameterId), In(&value),
                      A(errorText)},
                     result, [&](VARIANT* r) {
                         std::u16string error;
                         if (!Usable(0x60030001, *connection, &error))
                             return Answer(r, errorText, false, error);
                         mv::Variant copy;
                         HRESULT hr = VariantCopyInd(&copy, &value);
                         if (FAILED(hr)) return hr;
                         State& s = S();
                         std::lock_guard lock(s.m);
                         auto it = s.recipeValues.find({controlId, itemId, parameterId});
                         if (it == s.recipeValues.end())
                             return Answer(r, errorText, false,
                                           NotFound(controlId, itemId, parameterId));
                         std::swap(it->second, copy);  // the old value goes with `copy`
                         return Answer(r, errorText, true);
                     });
    }
    HRESULT SetControlID(IDispatch** connection, SHORT controlId, BSTR* errorText,
                         VARIANT* result) override {
        return Serve(kServer, IID_IHostedControlRecipe, 0x60030002,
                     {A(connection), In(&controlId), A(errorText)}, result, [&](VARIANT* r) {
                         std::u16string error;
                         if (!Usable(0x60030002, *connection, &error))
                             return Answer(r, errorText, false, error);
                         State& s = S();
                         std::lock_guard lock(s.m);
                         bool known = std::find(s.controlIds.begin(), s.controlIds.end(),
                                                controlId) != s.controlIds.end();
                         return Answer(r, errorText, known,
                                       u"Control recipe " + Number(controlId) + u" not found.");
                     });
    }

private:
    static constexpr Server kServer = Server::ControlRecipe;

    // False with the reason when the method is refused or the connection is
    // not an open one.
    static bool Usable(DISPID id, IDispatch* connection, std::u16string* error) {
        return !Refused(kServer, id, error) && OpenConnectionOf(connection, error);
    }
};

}  // namespace

HRESULT MakeRecipeClassObject(Server s, IUnknown** out) {
    void** pv = reinterpret_cast<void**>(out);
    switch (s) {
        case Server::Configuration:
            return mv::CreateClassFactory<CHostedConfiguration>(IID_IUnknown, pv);
        case Server::ControlRecipe:
            return mv::CreateClassFactory<CHostedControlRecipe>(IID_IUnknown, pv);
        case Server::DataAccess:
            return mv::CreateClassFactory<CHostedDataAccess>(IID_IUnknown, pv);
        default:
            return E_INVALIDARG;
    }
}

}  // namespace detail

using namespace detail;

void SeedControlId(SHORT controlId) {
    State& s = S();
    std::lock_guard lock(s.m);
    if (std::find(s.controlIds.begin(), s.controlIds.end(), controlId) == s.controlIds.end())
        s.controlIds.push_back(controlId);
}

void SeedRecipeValue(SHORT controlId, SHORT itemId, SHORT parameterId, const VARIANT& value) {
    mv::Variant copy(value);
    SeedControlId(controlId);
    State& s = S();
    std::lock_guard lock(s.m);
    std::swap(s.recipeValues[{controlId, itemId, parameterId}], copy);
}

mv::Variant RecipeValue(SHORT controlId, SHORT itemId, SHORT parameterId) {
    State& s = S();
    std::lock_guard lock(s.m);
    auto it = s.recipeValues.find({controlId, itemId, parameterId});
    return it == s.recipeValues.end() ? mv::Variant() : it->second;
}

}  // namespace hosted
