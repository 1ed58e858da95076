// Parsed programs by their text, kept for every engine in the process: a
// text that runs again (a calculation run after run) is parsed once. An
// entry is the parse result only, either the program or its syntax error;
// names are bound by each engine when it runs, so that named items added
// after the text still hide built-ins as they do on a fresh parse.
#include "script/program_cache.h"

#include <list>
#include <mutex>
#include <unordered_map>

#include "script/stack_room.h"

namespace mv::script {
namespace {

struct Entry {
    std::u16string text;
    std::shared_ptr<const Program> program;  // null: the text has `error`
    SyntaxError error{};
    size_t bytes = 0;
};

// Least recently used first out, within kProgramCacheEntries entries and
// kProgramCacheBytes bytes. Texts are parsed outside the lock; of two
// threads parsing one text at once, the first to finish makes the entry
// and the other takes it.
class ProgramCache {
public:
    std::shared_ptr<const Program> Compile(std::u16string_view text) {
        {
            std::lock_guard lock(mutex_);
            if (auto it = index_.find(text); it != index_.end()) {
                entries_.splice(entries_.end(), entries_, it->second);
                return Result(*it->second);
            }
        }
        Entry made;
        made.text = text;
        try {
            auto program = std::make_shared<Program>(Parse(text));
            made.bytes = program->bytes;
            made.program = std::move(program);
        } catch (const SyntaxError& e) {
            // Out of stack is the calling thread's failure, not the text's:
            // a thread with more stack parses the text again.
            if (e.number == kOutOfStack) throw;
            made.error = e;
        }
        made.bytes += sizeof(Entry) + text.size() * sizeof(char16_t);
        std::lock_guard lock(mutex_);
        ++parses_;
        if (auto it = index_.find(text); it != index_.end()) {
            entries_.splice(entries_.end(), entries_, it->second);
            return Result(*it->second);
        }
        if (made.bytes > kProgramCacheBytes) return Result(made);
        while (!entries_.empty() && (entries_.size() >= kProgramCacheEntries ||
                                     bytes_ + made.bytes > kProgramCacheBytes)) {
            bytes_ -= entries_.front().bytes;
            index_.erase(entries_.front().text);
            entries_.pop_front();
        }
        bytes_ += made.bytes;
        entries_.push_back(std::move(made));
        index_.emplace(entries_.back().text, std::prev(entries_.end()));
        return Result(entries_.back());
    }

    ProgramCacheCounts Counts() {
        std::lock_guard lock(mutex_);
        return {entries_.size(), bytes_, parses_};
    }

    void Clear() {
        std::lock_guard lock(mutex_);
        index_.clear();
        entries_.clear();
        bytes_ = parses_ = 0;
    }

private:
    static std::shared_ptr<const Program> Result(const Entry& e) {
        if (!e.program) throw e.error;
        return e.program;
    }

    std::mutex mutex_;
    std::list<Entry> entries_;
    std::unordered_map<std::u16string_view, std::list<Entry>::iterator> index_;
    size_t bytes_ = 0, parses_ = 0;
};

ProgramCache& Cache() {
    static ProgramCache cache;
    return cache;
}

}  // namespace

std::shared_ptr<const Program> CompileText(std::u16string_view text) {
    return Cache().Compile(text);
}

std::shared_ptr<const PreparedText> PreparedText::Make(std::u16string text) {
    auto made = std::make_shared<PreparedText>();
    made->text_ = std::make_shared<const std::u16string>(std::move(text));
    try {
        made->program_ = CompileText(*made->text_);
    } catch (const SyntaxError&) {
        // Parsed (and reported) again by each engine that runs it.
    }
    return made;
}

ProgramCacheCounts ProgramCacheCountsForTesting() {
    return Cache().Counts();
}

void ClearProgramCacheForTesting() {
    Cache().Clear();
}

}  // namespace mv::script
