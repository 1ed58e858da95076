#include <gtest/gtest.h>

#include <random>

#include "xml.h"

namespace {

// Mutated documents must load or fail cleanly; whatever loads must write a
// text that loads again to the same text.
TEST(XmlFuzz, MutatedDocumentsNeverCrashAndRoundTrip) {
    const std::u16string seeds[] = {
        u"<?xml version=\"1.0\"?><a x=\"1\" xmlns:p=\"urn:p\"><p:b dt:dt=\"i4\" "
        u"xmlns:dt=\"urn:schemas-microsoft-com:datatypes\">12</p:b><c>t&amp;u</c><!--n--></a>",
        u"<!DOCTYPE r [<!ENTITY e \"<q>v</q>\">]><r>&e;&e;<![CDATA[<z>]]><?pi d?></r>",
        u"<root xmlns=\"urn:d\"><x xmlns=\"\"><y a='&quot;&#10;'/></x>\r\n<w>\r</w></root>",
        // Carriage returns kept by reference, `&` in namespace names.
        u"<n:r xmlns:n=\"u&amp;v\" xmlns=\"a&#38;b\"><z n:k='1'>z&#13;\n</z>&#13;</n:r>",
    };
    constexpr size_t kSeeds = sizeof seeds / sizeof seeds[0];
    const char16_t alphabet[] = u"<>/=\"'&;:!?-[]#xmlns \r\n\tab13\u00e9\u4e2d";
    std::mt19937 random(20240131);
    IXMLDOMDocument* doc = nullptr;
    IXMLDOMDocument* again = nullptr;
    ASSERT_EQ(mv::CreateXmlDocument(&doc), S_OK);
    ASSERT_EQ(mv::CreateXmlDocument(&again), S_OK);
    int loaded = 0;
    for (int round = 0; round < 600; ++round) {
        std::u16string text = seeds[round % kSeeds];
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = random() % text.size();
            switch (random() % 4) {
                case 0:
                    text.erase(at, 1 + random() % 3);
                    break;
                case 1:
                    text.insert(at, 1, alphabet[random() % (sizeof alphabet / 2 - 1)]);
                    break;
                case 2:
                    text[at] = alphabet[random() % (sizeof alphabet / 2 - 1)];
                    break;
                default:
                    text.insert(at, text.substr(random() % text.size(), random() % 8));
            }
        }
        VARIANT_BOOL ok = VARIANT_FALSE;
        const HRESULT hr = doc->loadXML(mv::Bstr(std::u16string_view(text)).get(), &ok);
        ASSERT_TRUE(hr == S_OK || hr == S_FALSE);
        if (hr != S_OK) continue;
        ++loaded;
        mv::Bstr first, second;
        ASSERT_EQ(doc->get_xml(first.Out()), S_OK);
        ASSERT_EQ(again->loadXML(first.get(), &ok), S_OK) << first.Utf8();
        ASSERT_EQ(again->get_xml(second.Out()), S_OK);
        EXPECT_EQ(first.view(), second.view());
    }
    EXPECT_GT(loaded, 30);
    doc->Release();
    again->Release();
}

}  // namespace
