// keldrin_api: the calls of the client library, served by the in-memory
// historian; record calls go to the thread's selected server.
#include <cstring>
#include <sstream>

#include "impl.h"

#define KH_LIBRARY KHSIM_API
#define KH_TARGET kh::Target::Selected
#include "entries.inc"

namespace {

// Node name and alias of "NODE GROUP /ALIAS=NAME /FATAL /T=5".
bool parseCommand(const char* command, std::string* node, std::string* alias) {
    if (!command) return false;
    std::istringstream in(command);
    std::string word;
    if (!(in >> *node)) return false;
    *alias = *node;
    while (in >> word)
        if (kh::upper(word.substr(0, 7)) == "/ALIAS=" && word.size() > 7) *alias = word.substr(7);
    return true;
}

SHORT selectServer(const char* name, SHORT index, KeldrinErrorBlock* err) {
    if (auto injected = kh::enterWithError(KHSIM_API, name))
        return kh::fail(err, injected->code, injected->err1, injected->err2);
    kh::Model& m = kh::Model::get();
    std::lock_guard lock(m.mutex);
    if (!m.nodeByIndex(index)) return kh::fail(err, KELDRIN_E_NOSERVER, index);
    kh::selectedServer() = index;
    return kh::succeed(err);
}

SHORT readLong(LONG recordId, LONG fieldId, LONG* value, KeldrinErrorBlock* err) {
    int64_t v = 0;
    SHORT rc = kh::readInteger(KH_TARGET, recordId, fieldId, INT32_MIN, INT32_MAX,
                               value ? &v : nullptr, err);
    if (rc == KELDRIN_OK) *value = static_cast<LONG>(v);
    return rc;
}

}  // namespace

extern "C" {

LONG DaInitialize(LONG) {
    KH_ENTER_RET("DaInitialize", 0);
    kh::apiStarted() = true;
    return 1;
}

void DaShutdown(void) {
    kh::enter(KHSIM_API, "DaShutdown");
    kh::apiStarted() = false;
}

LONG DaLookupAlias(const char* alias) {
    KH_ENTER_RET("DaLookupAlias", 0);
    if (!alias) return 0;
    kh::Model& m = kh::Model::get();
    std::lock_guard lock(m.mutex);
    auto it = m.aliases.find(kh::upper(alias));
    return it == m.aliases.end() ? 0 : it->second;
}

LONG DaAddServer(const char* command, KeldrinErrorBlock* err) {
    if (auto injected = kh::enterWithError(KHSIM_API, "DaAddServer")) {
        kh::fail(err, injected->code, injected->err1, injected->err2);
        return 0;
    }
    std::string node, alias;
    if (!parseCommand(command, &node, &alias)) {
        kh::fail(err, KELDRIN_E_BADARG);
        return 0;
    }
    kh::Model& m = kh::Model::get();
    std::lock_guard lock(m.mutex);
    kh::Node* n = m.nodeByName(node);
    if (!n) {
        kh::fail(err, KELDRIN_E_NOSERVER);
        return 0;
    }
    if (n->serverIndex == 0) {
        SHORT highest = 0;
        for (auto& other : m.nodes) highest = std::max(highest, other.serverIndex);
        n->serverIndex = static_cast<SHORT>(highest + 1);
    }
    m.aliases[kh::upper(alias)] = n->serverIndex;
    kh::succeed(err);
    return n->serverIndex;
}

SHORT DaSelectServer(SHORT serverIndex, KeldrinErrorBlock* err) {
    return selectServer("DaSelectServer", serverIndex, err);
}

SHORT DaSetDefaultServer(SHORT serverIndex, KeldrinErrorBlock* err) {
    return selectServer("DaSetDefaultServer", serverIndex, err);
}

LONG DaEmbedServerIndex(SHORT serverIndex, LONG recordId) {
    kh::enter(KHSIM_API, "DaEmbedServerIndex");
    auto id = static_cast<uint32_t>(recordId) & 0x801FFFFFu;
    if (serverIndex > 0) id |= (static_cast<uint32_t>(serverIndex) & 0x3FFu) << 21;
    return static_cast<LONG>(id);
}

SHORT DB2LONG(LONG recordId, LONG fieldId, LONG* value, KeldrinErrorBlock* err) {
    KH_ENTER_ERR("DB2LONG", err);
    return readLong(recordId, fieldId, value, err);
}

// A record reference reads as the 32-bit number it holds.
SHORT DB2REID(LONG recordId, LONG fieldId, LONG* value, KeldrinErrorBlock* err) {
    KH_ENTER_ERR("DB2REID", err);
    return readLong(recordId, fieldId, value, err);
}

SHORT RDBASCII(LONG recordId, LONG fieldId, char* text, SHORT size, SHORT* length,
               KeldrinErrorBlock* err) {
    KH_ENTER_ERR("RDBASCII", err);
    return kh::rdbascii(KH_TARGET, recordId, fieldId, text, size, length, err);
}

SHORT GETNMFDB(LONG recordId, LONG fieldId, char* name, SHORT* length) {
    if (auto injected = kh::enter(KHSIM_API, "GETNMFDB")) {
        if (length) *length = 0;
        return injected->code;
    }
    return kh::fieldName(KH_TARGET, recordId, fieldId, name, length, false);
}

void GETRECORDLIST(LONG, LONG definitionId, LONG, LONG, LONG, const LONG* search, LONG capacity,
                   LONG* continuation, LONG* records, LONG, LONG, LONG, LONG* count) {
    if (kh::enter(KHSIM_API, "GETRECORDLIST")) {
        if (count) *count = 0;
        return;
    }
    kh::recordList(KH_TARGET, false, definitionId, search, capacity, continuation, records, count);
}

SHORT RSPECTYP(float value) {
    return kh::specClass(value, true);
}
SHORT DSPECTYP(double value) {
    return kh::specClass(value, false);
}
float RSPECGET(SHORT valueClass) {
    return kh::specValueSingle(valueClass);
}
double DSPECGET(SHORT valueClass) {
    return kh::specValue(valueClass);
}

}  // extern "C"
