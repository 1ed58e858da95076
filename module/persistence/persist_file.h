// Document files: a compound file whose root storage holds exactly one
// stream, named by one letter per class ("C" calculation, "F" formula
// library, "L" collection), with what the object's IPersistStream writes.
// A document from an older release may hold the stream "vorn" instead; the
// loader falls back to it, the saver always writes the letter stream.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "com.h"
#include "frame/trace.h"
#include "interfaces/IMvPersistFile.h"

// Saves the object's IPersistStream into a new document. The document
// replaces an existing file of that name only when the whole save
// succeeded; after a failure the old file is left as it was. Nothing is
// logged: the result says what failed.
HRESULT MvPersistFile_SaveToFile(IUnknown* object, char letter, BSTR fileName);

// Loads the object from the document's letter stream (or "vorn"). A file
// that cannot be opened is logged under `logText` only on a thread whose
// report-file-errors slot is 1 and when the name does not end in
// bin\Schedules.mvc or bin\Conversions.mvc (either separator); a missing
// stream and a failed load are always logged.
HRESULT MvPersistFile_LoadFromFile(IUnknown* object, char letter, const char* logText,
                                   BSTR fileName);

// IMvPersistFile over a class and its stream letter. T provides GetUnknown()
// (from mv::ComObjectRoot) and
//   static constexpr const char* kMvClassName = "CMvObjCollection";
// which names the class in the loader's log lines.
template <class T, char Letter>
class IMvPersistFileImpl : public IMvPersistFile {
public:
    HRESULT SaveToFile(BSTR FileName) override {
        return MvGuardedCall([&] {
            return MvPersistFile_SaveToFile(static_cast<T*>(this)->GetUnknown(), Letter, FileName);
        });
    }
    HRESULT LoadFromFile(BSTR FileName) override {
        // Made by the compiler: a load never fails for want of memory to
        // name itself in the log.
        static constexpr auto kLogText = LoadLogText();
        return MvGuardedCall([&] {
            return MvPersistFile_LoadFromFile(static_cast<T*>(this)->GetUnknown(), Letter,
                                              kLogText.data(), FileName);
        });
    }

private:
    // "IMvPersistFileImpl<class <class name>,<letter's code>>::LoadFromFile".
    static constexpr std::array<char, 128> LoadLogText() {
        std::array<char, 128> text{};
        std::size_t n = 0;
        auto put = [&](std::string_view piece) {
            for (char c : piece) text.at(n++) = c;
        };
        put("IMvPersistFileImpl<class ");
        put(T::kMvClassName);
        put(",");
        const int code = static_cast<unsigned char>(Letter);
        if (code >= 100) put(std::string_view("0123456789").substr(code / 100, 1));
        if (code >= 10) put(std::string_view("0123456789").substr(code / 10 % 10, 1));
        put(std::string_view("0123456789").substr(code % 10, 1));
        put(">::LoadFromFile");
        return text;
    }
};
