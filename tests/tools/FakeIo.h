// A UnitIo that records what the unit's parts send, log and save.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "unit_io.h"
#include "ymodem_rx.h"

struct FakeIo : sim::UnitIo {
    std::vector<uint8_t> sent;
    std::vector<std::string> events;
    std::optional<std::vector<uint8_t>> saved;
    bool hungUp = false;

    void send(const std::vector<uint8_t>& bytes) override {
        sent.insert(sent.end(), bytes.begin(), bytes.end());
    }
    void event(sim::Micros, const std::string& text) override { events.push_back(text); }
    bool save(const std::vector<uint8_t>& image) override {
        saved = image;
        return true;
    }
    void hangUp() override { hungUp = true; }

    std::vector<uint8_t> take() {
        std::vector<uint8_t> out;
        out.swap(sent);
        return out;
    }
    std::string text() {
        const auto bytes = take();
        return {bytes.begin(), bytes.end()};
    }
    std::string lastEvent() const { return events.empty() ? "" : events.back(); }
};

// A YMODEM block as a sender puts it on the line: 128-byte fields get SOH,
// 1024-byte fields STX.
inline std::vector<uint8_t> makeBlock(uint8_t number, const std::vector<uint8_t>& field) {
    std::vector<uint8_t> block{field.size() == 1024 ? sim::kStx : sim::kSoh, number,
                               static_cast<uint8_t>(~number)};
    block.insert(block.end(), field.begin(), field.end());
    const uint16_t crc = sim::crc16(field);
    block.push_back(static_cast<uint8_t>(crc >> 8));
    block.push_back(static_cast<uint8_t>(crc));
    return block;
}

inline std::vector<uint8_t> headerBlock(const std::string& name, const std::string& size) {
    std::vector<uint8_t> field(1024, 0);
    std::copy(name.begin(), name.end(), field.begin());
    std::copy(size.begin(), size.end(), field.begin() + static_cast<long>(name.size()) + 1);
    return makeBlock(0, field);
}

inline std::vector<uint8_t> closingBlock() {
    return makeBlock(0, std::vector<uint8_t>(128, 0));
}

inline std::vector<uint8_t> patternField(size_t size, uint8_t seed) {
    std::vector<uint8_t> field(size);
    for (size_t i = 0; i < size; ++i) {
        field[i] = static_cast<uint8_t>(seed * 31 + i * 7);
    }
    return field;
}
