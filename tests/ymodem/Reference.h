// Independent reference for the tests: a bit-by-bit CRC-16/XMODEM and the
// YMODEM frames as they must appear on the wire.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ref {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kSoh = 0x01;
constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEot = 0x04;

inline uint16_t crc16(const uint8_t* bytes, size_t size) {
    uint16_t crc = 0;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(bytes[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes image(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<uint8_t>(i * 131 + (i >> 8));
    }
    return out;
}

// Head, field and CRC (high byte first).
inline Bytes block(uint8_t lead, uint8_t number, const Bytes& field) {
    Bytes out{lead, number, static_cast<uint8_t>(255 - number)};
    out.insert(out.end(), field.begin(), field.end());
    const uint16_t crc = crc16(field.data(), field.size());
    out.push_back(static_cast<uint8_t>(crc >> 8));
    out.push_back(static_cast<uint8_t>(crc & 0xFF));
    return out;
}

inline Bytes headerField(std::string_view name, std::string_view sizeText) {
    Bytes field(name.begin(), name.end());
    field.push_back(0);
    field.insert(field.end(), sizeText.begin(), sizeText.end());
    field.resize(1024, 0);
    return field;
}

inline Bytes header(std::string_view name, uint32_t size) {
    return block(kStx, 0, headerField(name, std::to_string(size)));
}

// Data block `number` (from 1) of `image`.
inline Bytes dataBlock(const Bytes& image, unsigned number) {
    size_t offset = 0;
    auto fieldAt = [&](size_t at) { return image.size() - at >= 1024 ? size_t{1024} : 128; };
    for (unsigned k = 1; k < number; ++k) {
        offset += fieldAt(offset);
    }
    const size_t field = fieldAt(offset);
    Bytes data(image.begin() + static_cast<long>(offset),
               image.begin() + static_cast<long>(std::min(image.size(), offset + field)));
    data.resize(field, 0x1A);
    return block(field == 1024 ? kStx : kSoh, static_cast<uint8_t>(number), data);
}

inline Bytes closing() {
    return block(kSoh, 0, Bytes(128, 0));
}

} // namespace ref
