// The flash sequence, transmitter and receiver, against a unit that answers
// with the fuzzer's bytes: the run ends in bounded virtual time with one of
// its outcomes, and the start command goes out only after a whole transfer.
#include "Fuzz.h"
#include "flash/FlashRun.h"
#include "ymodem/Ymodem.h"

namespace {

// The line, and the shell of the run on it. Notes each start command ("2"),
// and "!" for one before the transfer ended whole.
struct Run : sim::VirtualLink, RunEvents {
    using VirtualLink::event;
    void write(const uint8_t* bytes, int32_t length) override {
        starts += length == 1 && bytes[0] == '2' ? (transferred ? "2" : "!") : "";
        VirtualLink::write(bytes, length);
    }
    void event(const RunEvent& e) override {
        const TransferProgress& p = e.progress;
        transferred |= e.kind == RunEvent::Kind::Progress && p.value == 100 && p.max == 100;
        said += e.kind == RunEvent::Kind::Log ? e.text + "\n" : "";
        FUZZ_REQUIRE(!ended); // the run's last event is its one Finished
        ended = e.kind == RunEvent::Kind::Finished;
    }
    bool cancelRequested() override { return ++polls == cancelAt; }
    bool busy() override { return ++busyPolls < answerAfter; }
    std::string starts, said;
    bool transferred = false, ended = false;
    int polls = 0, cancelAt = 0, busyPolls = 0, answerAfter = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    // The target, the cancel poll, the operator's delay and the image's size
    // (up to 11 blocks) come first.
    Run run;
    run.cancelAt = data[0] >> 1;
    run.answerAfter = data[1] & 63;
    const size_t imageSize = (data[1] >> 6u | size_t{data[2]} << 2) * 11;
    fuzz::ScriptPeer peer(run, {reinterpret_cast<const char*>(data) + 3, size - 3});
    auto image = std::make_shared<std::vector<uint8_t>>(imageSize, uint8_t{0x5A});
    const FlashJob job{"line", image, "fw.bin", (data[0] & 1) != 0, Json::object(), 0};
    const FlashResult result = runFlash(job, run, run, {"zkflash-fuzz", "0", {}, {}});

    FUZZ_REQUIRE(outcomeNamed(outcomeName(result.outcome)) == result.outcome && run.ended);
    // Bringing the bootloader up takes under 20 s (the operator's 6.3 s
    // included), the header under 28 s, each block and the closing block ten
    // copies of up to 1.2 s.
    const auto blocks = static_cast<int64_t>(ymodem::blockCount(imageSize));
    FUZZ_REQUIRE(run.time() <= (50 + 12 * (blocks + 1)) * sim::kSecond);
    const bool started = run.said.ends_with("Starting Application...\n");
    FUZZ_REQUIRE(started == (result.outcome == FlashOutcome::Success));
    FUZZ_REQUIRE(run.starts == (started ? "2" : "") ||
                 (run.starts == "2" && result.outcome == FlashOutcome::SerialFailure));
    return 0;
}
