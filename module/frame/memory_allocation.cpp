// The leak tracker. See memory_allocation.h.
#include "frame/memory_allocation.h"

#include "frame/diagnostic_log.h"

MvMemoryAllocation g_MemoryAllocation;

MvMemoryAllocation::MvMemoryAllocation() {
    InitializeCriticalSection(&m_Lock);
}

MvMemoryAllocation::~MvMemoryAllocation() {
    m_Entries.clear();
    DeleteCriticalSection(&m_Lock);
}

void MvMemoryAllocation::Track(const OLECHAR* name, LONG delta) {
    std::u16string_view key = name ? name : u"";
    mv::CriticalSectionLock lock(m_Lock);
    for (Entry& entry : m_Entries) {
        if (entry.Name.view() == key) {
            entry.Count += delta;
            return;
        }
    }
    mv::Bstr copy(key);
    if (!copy.get()) throw std::bad_alloc();
    m_Entries.push_back(Entry{std::move(copy), delta});
}

std::u16string MvMemoryAllocation::FormReport() const {
    std::u16string report;
    mv::CriticalSectionLock lock(m_Lock);
    for (const Entry& entry : m_Entries) {
        if (entry.Count <= 0) continue;
        std::string count = std::to_string(entry.Count);
        report += u"!!! Memory Leak: ";
        report += entry.Name.view();
        report += u" ( ";
        report.append(count.begin(), count.end());
        report += u" )\n";
    }
    return report;
}

void MvMemoryAllocation::ReportLeaks() noexcept {
    try {
        std::u16string report = FormReport();
        size_t start = 0;
        while (start < report.size()) {
            size_t end = report.find(u'\n', start);
            g_DiagnosticLog.WriteLine(u"MvMemoryAllocation::ReportLeaks",
                                      std::u16string_view(report).substr(start, end - start));
            start = end + 1;
        }
    } catch (...) {
    }
}
