// What the value and property classes share: the check that stands in for
// the fault a null pointer caused, and the 1-based list of counted interface
// pointers behind CMvCalcValues and CMvCalcProperties.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <utility>
#include <vector>

#include "comobj.h"

// A null pointer where a method must read or write through one, or an empty
// slot where an element must be handed out: the method frame turns the
// exception into E_UNEXPECTED with an error line, and nothing has changed.
template <class P>
void MvRequirePointer(P* p) {
    if (p == nullptr) throw std::invalid_argument("null pointer");
}

// Holds one reference per slot (an object added twice fills two slots). A
// slot is empty only when the owner left it so. No lock: the owners' clients
// serialise their calls.
template <class I>
class MvCountedList {
public:
    MvCountedList() = default;
    ~MvCountedList() { Truncate(0); }
    MvCountedList(const MvCountedList&) = delete;
    MvCountedList& operator=(const MvCountedList&) = delete;

    std::size_t Size() const noexcept { return m_Items.size(); }

    // Appends `item` with a reference of its own; when the list cannot grow
    // it throws and keeps its elements.
    void Append(I* item) {
        MvRequirePointer(item);
        m_Items.push_back(item);
        item->AddRef();
    }

    // Hands out slot `index` (from 1) with a reference added. Out of range:
    // a null item, error information from `progId` and `iid`, and E_FAIL.
    HRESULT CopyItem(LONG index, I** out, const char16_t* progId, REFIID iid) const {
        MvRequirePointer(out);
        *out = nullptr;
        if (index < 1 || static_cast<std::size_t>(index) > m_Items.size())
            return mv::ReportError(progId, iid, u"Item: Index out of range", E_FAIL);
        I* item = m_Items[static_cast<std::size_t>(index) - 1];
        MvRequirePointer(item);
        item->AddRef();
        *out = item;
        return S_OK;
    }

    // Drops the slots from `count` on and releases their objects, first to
    // last: a released object cannot reach back into a slot that still
    // names it. Empty slots are passed over. Nothing is allocated (this is
    // the release path): emptying the list takes all slots at once, a
    // shorter list empties each slot before its object goes.
    void Truncate(std::size_t count) noexcept {
        if (count >= m_Items.size()) return;
        if (count == 0) {
            std::vector<I*> dropped;
            dropped.swap(m_Items);
            for (I* item : dropped)
                if (item) item->Release();
            return;
        }
        for (std::size_t i = count; i < m_Items.size(); ++i)
            if (I* item = std::exchange(m_Items[i], nullptr)) item->Release();
        if (m_Items.size() > count) m_Items.resize(count);
    }

    // Adds empty slots up to `count`.
    void Grow(std::size_t count) {
        if (count > m_Items.size()) m_Items.resize(count, nullptr);
    }

    // Puts an object into an empty slot; the list takes over the reference.
    void Fill(std::size_t slot, I* item) noexcept { m_Items[slot] = item; }

private:
    std::vector<I*> m_Items;
};
