// Thread-local slots. Each slot carries a generation that changes whenever
// it is allocated or freed; a thread's stored value counts only when it was
// stored under the slot's current generation, so a slot that a thread never
// set in this allocation reads 0 there.
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "sys.h"
#include "sys/thread_exit.h"

namespace {

constexpr DWORD kSlotCount = 1088;

struct SlotTable {
    std::mutex lock;
    bool used[kSlotCount] = {};
    std::atomic<uint64_t> generation[kSlotCount] = {};
};

SlotTable& Slots() {
    static SlotTable* table = new SlotTable;  // never destroyed: threads may outlive statics
    return *table;
}

struct ThreadValue {
    uint64_t generation = 0;
    void* value = nullptr;
};

// A thread's values, indexed by slot; made at the thread's first value.
using ThreadValues = mv::ThreadOwned<std::vector<ThreadValue>>;

}  // namespace

extern "C" {

DWORD TlsAlloc() {
    SlotTable& t = Slots();
    std::lock_guard<std::mutex> guard(t.lock);
    for (DWORD i = 0; i < kSlotCount; ++i) {
        if (!t.used[i]) {
            t.used[i] = true;
            t.generation[i].fetch_add(1);
            return i;
        }
    }
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
}

BOOL TlsFree(DWORD index) {
    SlotTable& t = Slots();
    std::lock_guard<std::mutex> guard(t.lock);
    if (index >= kSlotCount || !t.used[index]) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    t.used[index] = false;
    t.generation[index].fetch_add(1);
    return TRUE;
}

BOOL TlsSetValue(DWORD index, LPVOID value) {
    if (index >= kSlotCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<ThreadValue>* values = ThreadValues::Find();
    if (!values || values->size() <= index) {
        if (!value) return TRUE;  // the slot reads 0 already
        values = ThreadValues::Get();
        try {
            if (!values) throw std::bad_alloc();
            if (values->size() <= index) values->resize(index + 1);
        } catch (const std::bad_alloc&) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }
    (*values)[index] = {Slots().generation[index].load(), value};
    return TRUE;
}

LPVOID TlsGetValue(DWORD index) {
    if (index >= kSlotCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    SetLastError(0);
    const std::vector<ThreadValue>* values = ThreadValues::Find();
    if (!values || index >= values->size()) return nullptr;
    const ThreadValue& v = (*values)[index];
    return v.generation == Slots().generation[index].load() ? v.value : nullptr;
}

}  // extern "C"
