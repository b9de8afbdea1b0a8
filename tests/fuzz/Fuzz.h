// What the fuzz targets share: a check that stops the run as a finding, and
// a unit on the virtual line that answers with the fuzzer's bytes.
#pragma once

#include "serial/printable.h"
#include "virtual_link.h"

#include <cstdio>
#include <cstdlib>

// A property that failed is a finding, like a crash: the input is kept.
#define FUZZ_REQUIRE(...)                                                                          \
    do {                                                                                           \
        if (!(__VA_ARGS__)) {                                                                      \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__,               \
                         #__VA_ARGS__);                                                            \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// The parts of `text` between the `by`s.
inline std::vector<std::string_view> split(std::string_view text, char by) {
    std::vector<std::string_view> parts;
    for (size_t at = 0, end = 0; end != std::string_view::npos; at = end + 1) {
        end = text.find(by, at);
        parts.push_back(text.substr(at, end == std::string_view::npos ? end : end - at));
    }
    return parts;
}

// True for text a terminal shows as it is: nothing in it needs escaping.
inline bool shown(std::string_view text, bool lines = false) {
    return printable(text, lines) == text;
}

// Answers each burst of what it hears (bytes no more than a millisecond apart,
// or a DTR change) with the script's next answer: a byte h, then h % 32 bytes
// sent h / 32 quarter seconds later; 0xFF hangs the line up. A script that has
// run out is silence.
struct ScriptPeer : sim::Peer {
    ScriptPeer(sim::VirtualLink& l, std::string_view s) : link(l), script(s) { l.attach(*this); }
    void input(uint8_t byte, sim::Micros at) override {
        heard.push_back(byte);
        dtr(true, at);
    }
    void dtr(bool, sim::Micros at) override { due = at + sim::kMillisecond; }
    sim::Micros deadline() const override { return sim::earliest(due, answerAt); }
    void tick(sim::Micros now) override {
        if (due >= 0 && now >= due && !script.empty()) {
            const auto h = static_cast<uint8_t>(script[0]);
            const size_t n = h == 0xFF ? 0 : std::min<size_t>(h % 32, script.size() - 1);
            answer.assign(script.begin() + 1, script.begin() + 1 + static_cast<long>(n));
            script.remove_prefix(1 + n);
            h == 0xFF ? link.hangUp() : void(answerAt = now + h / 32 * 250 * sim::kMillisecond);
        }
        due = now >= due ? -1 : due;
        if (answerAt >= 0 && now >= answerAt) {
            link.send(answer);
            answerAt = -1;
        }
    }
    sim::VirtualLink& link;
    std::string_view script;
    std::vector<uint8_t> heard, answer; // every byte heard, in order; the next answer
    sim::Micros due = -1, answerAt = -1;
};

} // namespace fuzz
