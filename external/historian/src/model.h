// The in-memory historian shared by keldrin_api and the older client
// library: nodes, records, fields, current values, history, injections.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "keldrin_sim.h"

namespace kh {

enum class Kind { Number, Text, Time, Pair };

// Numeric storage width of a field type.
enum class Num { Double, Float, Long, Short };

struct Value {
    double number = 0.0;
    bool special = false;
    SHORT specialClass = KELDRIN_CLASS_NOVALUE;
    std::string text;
    KeldrinTime time{KELDRIN_TIME_NONE_WORD, KELDRIN_TIME_NONE_WORD};
    LONG pair[2] = {0, 0};
    SHORT status = 0;
    SHORT level = 0;
    KeldrinTime stamp{KELDRIN_TIME_NONE_WORD, KELDRIN_TIME_NONE_WORD};
};

struct Field {
    std::string name;
    LONG tag = 0;
    SHORT type = 0;
    LONG statusTag = 0;
    Value value;
    std::vector<Value> history;  // ordered by stamp
};

struct Record {
    LONG id = 0;
    std::string name;
    LONG definition = 0;
    std::map<LONG, Field> fields;
};

struct Node {
    std::string name;
    LONG major = 0;
    LONG minor = 0;
    bool local = false;
    SHORT serverIndex = 0;                  // > 0 once connected
    std::vector<Record> records;            // identifier = position + 1
    std::map<std::string, LONG> fieldTags;  // upper-cased field name -> tag
    bool atLeast113() const { return major > 11 || (major == 11 && minor >= 3); }
};

// What a call of one library concerns: the thread's selected server, or the
// local node of the older library.
enum class Target { Selected, Local };

// Kind and width of a field type code; nullopt for codes no field has.
std::optional<Kind> fieldKind(SHORT type);
Num numWidth(SHORT type);
bool isNumericType(SHORT type);

std::string upper(std::string_view s);
bool sameName(std::string_view a, std::string_view b);

// Files a history sample at its stamp, kept in time order; a sample at the
// same time replaces the old one and is counted in the model's
// duplicateStamps. A sample later than the last is appended without a
// search. The caller holds the model's lock.
void fileSample(Field& f, const Value& s);

// Error block helpers.
SHORT fail(KeldrinErrorBlock* err, SHORT code, LONG err1 = 0, LONG err2 = 0);
SHORT succeed(KeldrinErrorBlock* err);
// The code an earlier step left in the block, or fallback without a block.
inline SHORT codeOf(const KeldrinErrorBlock* err, SHORT fallback) {
    return err ? err->ERRORCODE : fallback;
}

// Little-endian field access of caller buffers.
inline void put16(void* p, SHORT v) {
    auto* b = static_cast<unsigned char*>(p);
    uint16_t u = static_cast<uint16_t>(v);
    b[0] = u & 0xFF;
    b[1] = u >> 8;
}
inline void put32(void* p, uint32_t u) {
    auto* b = static_cast<unsigned char*>(p);
    for (int i = 0; i < 4; ++i) b[i] = (u >> (8 * i)) & 0xFF;
}
inline SHORT get16(const void* p) {
    auto* b = static_cast<const unsigned char*>(p);
    return static_cast<SHORT>(static_cast<uint16_t>(b[0] | (b[1] << 8)));
}
inline uint32_t get32(const void* p) {
    auto* b = static_cast<const unsigned char*>(p);
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}
void putDouble(void* p, double v);
double getDouble(const void* p);
void putFloat(void* p, float v);
float getFloat(const void* p);
void putTime(void* p, const KeldrinTime& t);
KeldrinTime getTime(const void* p);

// Time helpers (timeconv.cpp).
bool validTime(const KeldrinTime& t);
bool toMicros(const KeldrinTime& t, int64_t* micros);
bool fromMicros(int64_t micros, KeldrinTime* t);
bool ustToMicros(const KeldrinUst& u, int64_t* micros);
KeldrinUst microsToUst(int64_t micros);
KeldrinTime clockNow();

class Model {
public:
    static Model& get();

    std::recursive_mutex mutex;
    std::vector<Node> nodes;
    std::map<std::string, SHORT> aliases;  // upper-cased alias -> server index
    std::optional<KeldrinTime> clock;
    LONG dbmapped = 1;
    LONG keldrinInit = 1;
    void (*shutdownCallback)(LONG) = nullptr;
    // Samples filed at a time their field already held.
    LONG duplicateStamps = 0;

    void reset();

    Node* nodeByName(std::string_view name);
    Node* nodeByIndex(SHORT serverIndex);
    Node* localNode();
    // The node a call goes to; sets the error block when there is none.
    Node* target(Target t, KeldrinErrorBlock* err);
    Record* record(Node& n, LONG recordId);
    Field* field(Node& n, LONG recordId, LONG tag, KeldrinErrorBlock* err);

    // Counting and injections, run at the entry of every call.
    struct Injection {
        SHORT code = 0;
        LONG err1 = 0, err2 = 0;
        LONG times = 0;  // -1: until cleared
    };
    std::map<std::pair<LONG, std::string>, Injection> failures;
    std::map<std::pair<LONG, std::string>, LONG> throws;
    // Calls by entry point name, one table per library (0: keldrin_api, 1:
    // the older library), looked up without building a string per call.
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view name) const {
            return std::hash<std::string_view>{}(name);
        }
    };
    using CountTable = std::unordered_map<std::string, LONG, NameHash, std::equal_to<>>;
    CountTable counts[2];
    // The counters of recent calls by the address of their name (entries of
    // an unordered map stay where they are until it is cleared).
    struct CountSlot {
        const char* name = nullptr;
        CountTable::value_type* entry = nullptr;
    };
    static constexpr size_t kRecentCounts = 64;
    CountSlot recentCounts[2][kRecentCounts];
};

// Counts the call, throws when told, and returns an injected failure.
std::optional<Model::Injection> enter(LONG library, const char* name);
// The same for a call with an error block: also fails every keldrin_api
// call while that library is shut down.
std::optional<Model::Injection> enterWithError(LONG library, const char* name);
// Whether keldrin_api is started.
std::atomic<bool>& apiStarted();

// Thread's selected server (0: none).
SHORT& selectedServer();

}  // namespace kh
