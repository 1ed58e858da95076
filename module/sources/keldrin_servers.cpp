// Historian servers: connecting a node, the database version and error
// messages.
#include "sources/keldrin_servers.h"

#include <algorithm>
#include <cstring>

#include "frame/keldrin_client.h"
#include "frame/trace.h"

namespace {

// ERRMESS fills at most this many characters of its 78-byte buffer.
constexpr SHORT kErrorTextMax = 77;

}  // namespace

std::string KeldrinErrorMessage(const KeldrinErrorBlock* err, bool local) {
    char text[kErrorTextMax + 1] = {};
    SHORT length = 0;
    if (local)
        L_ERRMESS(err, text, &length);
    else
        ERRMESS(err, text, &length);
    // A reported length is trusted only as far as the buffer goes.
    size_t n = static_cast<size_t>(std::clamp<SHORT>(length, 0, kErrorTextMax));
    return std::string(text, strnlen(text, n));
}

LONG ConnectKeldrinNode(std::string nodeName, KeldrinErrorBlock* err, std::string* errorText) {
    EnsureKeldrinClientStarted();
    KeldrinErrorBlock local{};
    if (!err) err = &local;
    *err = KeldrinErrorBlock{};
    std::string alias = nodeName + "__AC";
    std::string command = nodeName + " 200 /ALIAS=" + alias + " /FATAL /T=5";

    LONG index = DaLookupAlias(alias.c_str());
    if (index <= 0) {
        index = DaAddServer(command.c_str(), err);
        if (index <= 0) {
            MvLogErrorA("AddDaConnection", {"Add Server: Alias: ", alias});
            MvLogErrorA("AddDaConnection", {"Add Server: Connection: ", command});
            MvLogErrorA("AddDaConnection", {"Add Server: User", MvLogUserName()});
        }
    }
    if (err->ERRORCODE != 0 && errorText) *errorText = KeldrinErrorMessage(err, false);
    return index;
}

void GetKeldrinDbVersion(bool local, LONG* major, LONG* minor) {
    // The call writes nothing when the older library is absent.
    if (major) *major = 0;
    if (minor) *minor = 0;
    KeldrinErrorBlock err{};
    char text[128] = {};
    if (local)
        L_GETDBVERSION(&err, major, minor, text, sizeof text);
    else
        GETDBVERSION(&err, major, minor, text, sizeof text);
}

bool KeldrinVersionHasLongNames(LONG major, LONG minor) {
    return major > 11 || (major == 11 && minor >= 3);
}
