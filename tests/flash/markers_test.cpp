// The bootloader wait's search for the banner word and the wrong-mode sign in
// successive reads.
#include "flash/markers.h"

#include <gtest/gtest.h>

#include <cctype>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Marker = MarkerScanner::Marker;

const char* name(Marker m) {
    switch (m) {
    case Marker::None:
        return "None";
    case Marker::Banner:
        return "Banner";
    case Marker::WrongMode:
        return "WrongMode";
    }
    return "?";
}

std::string bytes(const char* text, size_t size) {
    return std::string(text, size);
}

struct Case {
    const char* what;
    std::vector<std::string> reads;
    // What each read yields; every read but the last is expected to yield None.
    Marker last;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.what;
}

class MarkerSearch : public testing::TestWithParam<Case> {};

TEST_P(MarkerSearch, JudgesEachRead) {
    const Case& c = GetParam();
    MarkerScanner scanner;
    for (size_t i = 0; i < c.reads.size(); ++i) {
        SCOPED_TRACE(testing::Message()
                     << "read " << i << ": " << testing::PrintToString(c.reads[i]));
        const Marker expected = i + 1 == c.reads.size() ? c.last : Marker::None;
        EXPECT_STREQ(name(scanner.feed(c.reads[i])), name(expected));
    }
}

const std::string kFF3 = "\xFF\xFF\xFF";

INSTANTIATE_TEST_SUITE_P(
    Reads, MarkerSearch,
    testing::Values(
        // The banner.
        Case{"banner alone", {"VANTOLK"}, Marker::Banner},
        Case{"banner with text around", {"\r\nBoot v2 VANTOLK ready\r\n"}, Marker::Banner},
        Case{"banner after silent reads", {"", "", "VANTOLK"}, Marker::Banner},
        Case{"banner split in two", {"xxVANT", "OLK\r\n"}, Marker::Banner},
        Case{"banner split before its last letter", {"VANTOL", "K"}, Marker::Banner},
        Case{"banner split after its first letter", {"abcdefghV", "ANTOLK"}, Marker::Banner},
        Case{"banner split in three", {"VA", "NTO", "LK"}, Marker::Banner},
        Case{"banner one letter per read", {"V", "A", "N", "T", "O", "L", "K"}, Marker::Banner},
        Case{"banner broken by a byte between reads", {"VANT", "x", "OLK"}, Marker::None},
        Case{"banner in other case", {"vantolk Vantolk"}, Marker::None},
        Case{"banner broken by a NUL", {bytes("VAN\0TOLK", 8)}, Marker::None},
        Case{"NUL bytes before the banner", {bytes("\0\0ready\0VANTOLK\0", 16)}, Marker::Banner},
        Case{"NUL bytes in earlier reads",
             {bytes("\0\0\0", 3), bytes("a\0V", 3), "ANTOLK"},
             Marker::Banner},
        // The wrong-mode sign.
        Case{"three 0xFF", {kFF3}, Marker::WrongMode},
        Case{"three 0xFF in text", {"abc" + kFF3 + "def"}, Marker::WrongMode},
        Case{"three 0xFF after NUL bytes", {bytes("\0\0", 2) + kFF3}, Marker::WrongMode},
        Case{"0xFF split two and one", {"ab\xFF\xFF", "\xFF"}, Marker::WrongMode},
        Case{"0xFF one per read", {"\xFF", "\xFF", "\xFF"}, Marker::WrongMode},
        Case{"two 0xFF", {"\xFF\xFF"}, Marker::None},
        Case{"two 0xFF twice apart", {"\xFF\xFFz\xFF\xFF"}, Marker::None},
        Case{"three 0xFF separated",
             {"\xFF"
              "a\xFF"
              "b\xFF"},
             Marker::None},
        Case{"three 0xFF separated by a NUL", {bytes("\xFF\xFF\0\xFF", 4)}, Marker::None},
        Case{"0xFF split with a byte between reads", {"\xFF\xFF", "a", "\xFF"}, Marker::None},
        Case{"0xFE is not 0xFF", {"\xFF\xFE\xFF\xFF"}, Marker::None},
        // Both: the banner wins.
        Case{"banner then 0xFF", {"VANTOLK" + kFF3}, Marker::Banner},
        Case{"0xFF then banner", {kFF3 + "VANTOLK"}, Marker::Banner},
        Case{"0xFF across reads then banner", {"\xFF\xFF", "\xFFVANTOLK"}, Marker::Banner},
        Case{"banner across reads with 0xFF", {"VANT", "OLK" + kFF3}, Marker::Banner}),
    [](const testing::TestParamInfo<Case>& info) {
        std::string id;
        for (const char* p = info.param.what; *p != '\0'; ++p) {
            id += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        }
        return id;
    });

} // namespace
