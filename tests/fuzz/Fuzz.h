// What the fuzz targets share: a check that stops the run as a finding, and
// a unit on the virtual line that answers with the fuzzer's bytes.
#pragma once

#include "virtual_link.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string_view>

// A property that failed is a finding, like a crash: the input is kept.
#define FUZZ_REQUIRE(cond)                                                                         \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond);       \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

// True for text that a terminal shows as it is: well-formed UTF-8 without
// control characters (C0, DEL, C1), line feeds only where `lines` allows.
inline bool shown(std::string_view text, bool lines = false) {
    try {
        (void)nlohmann::json(text).dump(); // throws for text that is not UTF-8
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<uint8_t>(text[i]);
        const bool c1 =
            c == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) < 0xA0;
        if ((c < 0x20 && !(lines && c == '\n')) || c == 0x7F || c1) {
            return false;
        }
    }
    return true;
}

// Answers each burst of what it hears (bytes with no more than a millisecond
// between them, or a DTR change) with the script's next answer: a byte h, then
// h % 32 bytes to send (h / 32) quarter seconds later; 0xFF hangs the line up.
// A script that has run out is silence.
class ScriptPeer : public sim::Peer {
public:
    ScriptPeer(sim::VirtualLink& link, std::string_view script) : link_(link), script_(script) {
        link.attach(*this);
    }
    void input(uint8_t byte, sim::Micros at) override {
        burst_.push_back(byte);
        due_ = at + sim::kMillisecond;
    }
    void dtr(bool, sim::Micros at) override { due_ = at + sim::kMillisecond; }
    sim::Micros deadline() const override { return sim::earliest(due_, answerAt_); }
    void tick(sim::Micros now) override {
        if (due_ >= 0 && now >= due_) {
            heard.push_back(burst_);
            burst_.clear();
            due_ = -1;
            if (!script_.empty()) {
                const auto h = static_cast<uint8_t>(script_[0]);
                const size_t n = h == 0xFF ? 0 : std::min<size_t>(h % 32, script_.size() - 1);
                answer_.assign(script_.begin() + 1, script_.begin() + 1 + static_cast<long>(n));
                script_.remove_prefix(1 + n);
                if (h == 0xFF) {
                    link_.hangUp();
                } else {
                    answerAt_ = now + h / 32 * 250 * sim::kMillisecond;
                }
            }
        }
        if (answerAt_ >= 0 && now >= answerAt_) {
            link_.send(answer_);
            answerAt_ = -1;
        }
    }
    std::vector<std::vector<uint8_t>> heard; // the bursts, in order

private:
    sim::VirtualLink& link_;
    std::string_view script_;
    std::vector<uint8_t> burst_, answer_;
    sim::Micros due_ = -1, answerAt_ = -1;
};

} // namespace fuzz
