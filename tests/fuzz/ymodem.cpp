// The YMODEM sender against a receiver that answers with the fuzzer's bytes:
// it ends in bounded time with one of its result codes, every frame is well
// formed, and success means the receiver has heard the whole image.
#include "ymodem/Ymodem.h"
#include "Fuzz.h"

#include <map>

namespace {

struct Observer : ymodem::Observer {
    void progress(uint32_t value, uint32_t max) override { reports.emplace_back(value, max); }
    bool cancelRequested() override { return ++polls == cancelAt; }
    void log(std::string_view line) override { logs += std::string(line) + "\n"; }
    std::vector<std::pair<uint32_t, uint32_t>> reports;
    int polls = 0, cancelAt = 0;
    std::string logs;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) {
        return 0;
    }
    // The image, the block limit, the name's length and the cancel poll come first.
    const uint32_t imageSize = (data[0] | uint32_t{data[1]} << 8) % (12 * 1024);
    const uint32_t maxBlocks = 1 + data[2] % 16;
    const std::string name(data[3] * 4u + 3, 'n');
    Observer observer;
    observer.cancelAt = data[4];
    std::vector<uint8_t> image(imageSize);
    for (size_t i = 0; i < imageSize; ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    sim::VirtualLink link;
    link.open("line", 115200);
    fuzz::ScriptPeer peer(link, {reinterpret_cast<const char*>(data) + 5, size - 5});
    const uint32_t code =
        ymodem::Ymodem_Transmit(link, image.data(), name, imageSize, maxBlocks, observer);

    FUZZ_REQUIRE(code == ymodem::kOk || code == ymodem::kNoAck || code == ymodem::kNameTooLong ||
                 code == ymodem::kNoHeaderAck || code == ymodem::kCancelled ||
                 code == ymodem::kTooLarge);
    const uint64_t blocks = ymodem::blockCount(imageSize);
    FUZZ_REQUIRE(link.time() <= (30 + 12 * static_cast<int64_t>(blocks + 1)) * sim::kSecond);
    FUZZ_REQUIRE((code == ymodem::kCancelled) == (observer.logs == "Process Canceled.\n"));
    if (code == ymodem::kTooLarge || code == ymodem::kNameTooLong) {
        FUZZ_REQUIRE(link.bytesWritten() == 0);
    }
    // What the receiver heard is whole frames with the right CRCs; the data
    // blocks as last heard make the image.
    std::vector<uint8_t> wire;
    for (const auto& burst : peer.heard) {
        wire.insert(wire.end(), burst.begin(), burst.end());
    }
    std::map<uint8_t, std::vector<uint8_t>> fields;
    for (size_t at = 0; at < wire.size();) {
        const size_t field = wire[at] == 2 ? 1024 : wire[at] == 1 ? 128 : 0;
        FUZZ_REQUIRE(field > 0 ? at + field + 5 <= wire.size() : wire[at] == 4);
        const uint8_t* b = wire.data() + at;
        if (field > 0) {
            const auto crc = ymodem::Cal_CRC16(b, 3, static_cast<uint32_t>(field));
            FUZZ_REQUIRE(b[2] == 255 - b[1] && b[field + 3] == crc >> 8 &&
                         b[field + 4] == (crc & 255));
            fields[b[1]].assign(b + 3, b + 3 + field);
        }
        at += field > 0 ? field + 5 : 1;
    }
    std::vector<uint8_t> received;
    for (const auto& [number, field] : fields) {
        received.insert(received.end(), number > 0 ? field.begin() : field.end(), field.end());
    }
    received.resize(std::min<size_t>(received.size(), imageSize));
    const bool whole =
        !observer.reports.empty() && observer.reports.back() == std::pair{100u, 100u};
    FUZZ_REQUIRE(whole == (code == ymodem::kOk));
    FUZZ_REQUIRE(code != ymodem::kOk || (received == image && fields.size() == blocks + 1));
    return 0;
}
