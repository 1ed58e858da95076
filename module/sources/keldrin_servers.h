// Finding the historian server of a node name, the server's database version
// and the message of a historian error block.
#pragma once

#include <string>

#include "keldrin_api.h"

// The server index of the node in keldrin_api (> 0 when connected), after
// starting keldrin_api when it is stopped: the
// alias "<node>__AC" when it is known, else a new connection
// "<node> 200 /ALIAS=<node>__AC /FATAL /T=5". A failed connection writes
// three error lines. When the error block is left set, *errorText receives
// its message; otherwise *errorText is left alone.
LONG ConnectKeldrinNode(std::string nodeName, KeldrinErrorBlock* err, std::string* errorText);

// The database version of the local historian (through the older client
// library) or of keldrin_api's current server. *major and *minor keep what
// the caller preset when the call writes nothing.
void GetKeldrinDbVersion(bool local, LONG* major, LONG* minor);

// True for a version of 11.3 or later, which offers the long-name calls.
bool KeldrinVersionHasLongNames(LONG major, LONG minor);

// The message of an error block, from the older client library (local) or
// keldrin_api: at most 77 characters, ended at the length the call reports.
std::string KeldrinErrorMessage(const KeldrinErrorBlock* err, bool local);
