// The bootloader wait's search for the banner word and the wrong-mode sign in
// successive reads.
#include "flash/markers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Marker = MarkerScanner::Marker;
using namespace std::string_literals; // "...\0..."s keeps its NUL bytes

TEST(MarkerSearch, JudgesEachReadJoinedToTheOnesBefore) {
    const std::string ff3 = "\xFF\xFF\xFF";
    const struct {
        std::vector<std::string> reads;
        Marker last; // what the last read yields; every earlier one yields None
    } cases[] = {
        {{"\r\nBoot v2 VANTOLK ready\r\n"}, Marker::Banner},
        {{"xxVANT", "OLK\r\n"}, Marker::Banner},
        {{"V", "A", "N", "T", "O", "L", "K"}, Marker::Banner},
        {{"\0\0\0"s, "a\0V"s, "ANTOLK"}, Marker::Banner},
        {{"VANT", "x", "OLK"}, Marker::None},
        {{"vantolk Vantolk"}, Marker::None},
        {{"VAN\0TOLK"s}, Marker::None},
        {{"ab\0c"s + ff3 + "def"}, Marker::WrongMode},
        {{"\xFF", "\xFF", "\xFF"}, Marker::WrongMode},
        {{"\xFF\xFFz\xFF\xFF"}, Marker::None},
        {{"\xFF\xFF", "a", "\xFF"}, Marker::None},
        // Both: the banner wins, whichever came first or completed last.
        {{"\xFF\xFF", "\xFFVANTOLK"}, Marker::Banner},
        {{"VANT", "OLK" + ff3}, Marker::Banner},
    };
    for (const auto& c : cases) {
        MarkerScanner scanner;
        for (size_t i = 0; i < c.reads.size(); ++i) {
            SCOPED_TRACE(testing::PrintToString(c.reads) + ", read " + std::to_string(i));
            const Marker expected = i + 1 == c.reads.size() ? c.last : Marker::None;
            EXPECT_EQ(static_cast<int>(scanner.feed(c.reads[i])), static_cast<int>(expected))
                << "0 None, 1 Banner, 2 WrongMode";
        }
    }
}

} // namespace
