// Looks for the bootloader's answers in what the unit sends: its banner word,
// or three 0xFF bytes, the sign of a unit in the wrong mode. A marker split
// over two reads is still found: the tail of the previous read is kept.
#pragma once

#include <string>
#include <string_view>

class MarkerScanner {
public:
    enum class Marker { None, Banner, WrongMode };

    static constexpr std::string_view kBanner = "VANTOLK";
    static constexpr std::string_view kWrongMode = "\xFF\xFF\xFF";

    // Judges `text` joined behind the end of the previous text. The banner
    // wins over the wrong-mode sign when both are there.
    Marker feed(std::string_view text);

private:
    std::string tail_; // last kBanner.size() - 1 bytes seen
};
