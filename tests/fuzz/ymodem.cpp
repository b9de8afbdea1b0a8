// The YMODEM sender against a receiver that answers with the fuzzer's bytes:
// it ends in bounded time with one of its result codes, every frame is well
// formed, and success means the receiver has heard the whole image.
#include "ymodem/Ymodem.h"
#include "Fuzz.h"

#include <map>
#include <set>

namespace {

struct Observer : ymodem::Observer {
    void progress(uint32_t value, uint32_t max) override { last = {value, max}; }
    bool cancelRequested() override { return ++polls == cancelAt; }
    void log(std::string_view line) override { logs += std::string(line) + "\n"; }
    std::pair<uint32_t, uint32_t> last;
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

    using namespace ymodem;
    FUZZ_REQUIRE(
        std::set{kOk, kNoAck, kNameTooLong, kNoHeaderAck, kCancelled, kTooLarge}.count(code));
    const auto blocks = static_cast<int64_t>(blockCount(imageSize));
    FUZZ_REQUIRE(link.time() <= (30 + 12 * (blocks + 1)) * sim::kSecond);
    FUZZ_REQUIRE((code == kCancelled) == (observer.logs == "Process Canceled.\n"));
    FUZZ_REQUIRE((code != kTooLarge && code != kNameTooLong) || link.bytesWritten() == 0);
    FUZZ_REQUIRE((code == kOk) == (observer.last == std::pair{100u, 100u}));
    // What the receiver heard is whole frames with the right CRCs; on success
    // the data blocks as last heard make the image.
    const std::vector<uint8_t>& wire = peer.heard;
    std::map<uint8_t, std::vector<uint8_t>> fields;
    for (size_t at = 0, field = 0; at<wire.size(); at += field> 0 ? field + 5 : 1) {
        const uint8_t* b = wire.data() + at;
        field = b[0] == 2 ? 1024 : b[0] == 1 ? 128 : 0;
        FUZZ_REQUIRE(field > 0 ? at + field + 5 <= wire.size() : b[0] == 4);
        if (field == 0) {
            continue;
        }
        const auto crc = Cal_CRC16(b, 3, static_cast<uint32_t>(field));
        FUZZ_REQUIRE(b[2] == 255 - b[1] && b[field + 3] == crc >> 8 && b[field + 4] == (crc & 255));
        fields[b[1]].assign(b + 3, b + 3 + field);
    }
    std::vector<uint8_t> received;
    for (auto it = fields.upper_bound(0); it != fields.end(); ++it) {
        received.insert(received.end(), it->second.begin(), it->second.end());
    }
    received.resize(std::min<size_t>(received.size(), imageSize));
    FUZZ_REQUIRE(code != kOk || (received == image && fields.size() == size_t(blocks) + 1));
    return 0;
}
