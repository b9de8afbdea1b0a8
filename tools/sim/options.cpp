#include "options.h"

#include <charconv>

namespace sim {

namespace {

constexpr uint32_t kTransmitterSpeed = 115200;
constexpr uint32_t kReceiverSpeed = 109000;

std::optional<uint32_t> parseNumber(const std::string& text) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// A data block number: 1 or more.
std::optional<uint32_t> parseBlock(const std::string& text) {
    auto n = parseNumber(text);
    if (!n || *n == 0) {
        return std::nullopt;
    }
    return n;
}

// "N:K" (or "N" for N:1 when `single` is allowed): data block N, K copies.
std::optional<std::pair<uint32_t, uint32_t>> parseBlockCopies(const std::string& text,
                                                              bool single) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        auto n = single ? parseBlock(text) : std::nullopt;
        return n ? std::optional(std::pair(*n, 1u)) : std::nullopt;
    }
    auto n = parseBlock(text.substr(0, colon));
    auto k = parseNumber(text.substr(colon + 1));
    if (!n || !k || *k == 0) {
        return std::nullopt;
    }
    return std::pair(*n, *k);
}

} // namespace

uint32_t expectedSpeed(Target target) {
    return target == Target::Transmitter ? kTransmitterSpeed : kReceiverSpeed;
}

const char* usageText() {
    return "usage: zkunit-sim [--target tx|rx] [--out DIR] [--once] [fault options]\n"
           "  --target tx|rx      which unit (default tx): expected speed 115200 (tx) / 109000 "
           "(rx)\n"
           "  --out DIR           where to write received.bin and events.log (default: a new "
           "temp dir)\n"
           "  --once              exit 0 after the application was started, or 1 after a "
           "hang-up / 60 s idle\n"
           "  --silent            never answer anything\n"
           "  --wrong-mode        answer every \"BOOT\" with 0xFF 0xFF 0xFF\n"
           "  --split-banner      send the banner in two writes ~60 ms apart\n"
           "  --nak-block N[:K]   NAK the first copy (K copies) of data block N\n"
           "  --drop-ack N:K      stay silent on the first K copies of data block N\n"
           "  --double-ack N      ACK data block N twice, the second 5 ms after the first\n"
           "  --can-at N          answer data block N with CAN CAN\n"
           "  --slow-flash MS     spend MS extra ms writing flash before answering each data "
           "block\n"
           "  --hangup-at N       close the line on receiving data block N\n"
           "  --hangup-at-end     close the line when the batch's last EOT arrives\n"
           "  --drain-lag MS      model a USB-serial adapter: the loader's drain returns MS ms "
           "after\n"
           "                      the unit has taken the last byte off the line (needs the\n"
           "                      modem-line library in the loader)\n";
}

std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error) {
    Options options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        auto copiesValue = [&](bool single) -> std::optional<std::pair<uint32_t, uint32_t>> {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            auto copies = parseBlockCopies(*text, single);
            if (!copies) {
                error = arg + ": expected " + (single ? "N or N:K" : "N:K") +
                        " with N and K 1 or more, got " + *text;
            }
            return copies;
        };
        auto msValue = [&]() -> std::optional<uint32_t> {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            auto ms = parseNumber(*text);
            if (!ms || *ms > 600000) {
                error = arg + ": expected milliseconds (0 to 600000), got " + *text;
                return std::nullopt;
            }
            return ms;
        };
        auto blockValue = [&]() -> std::optional<uint32_t> {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            auto n = parseBlock(*text);
            if (!n) {
                error = arg + ": not a data block number (1 or more): " + *text;
            }
            return n;
        };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--target") {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            if (*text == "tx") {
                options.target = Target::Transmitter;
            } else if (*text == "rx") {
                options.target = Target::Receiver;
            } else {
                error = "--target: expected tx or rx, got " + *text;
                return std::nullopt;
            }
        } else if (arg == "--out") {
            auto text = value();
            if (!text) {
                return std::nullopt;
            }
            if (text->empty()) {
                error = "--out: empty directory name";
                return std::nullopt;
            }
            options.outDir = *text;
        } else if (arg == "--once") {
            options.once = true;
        } else if (arg == "--silent") {
            options.faults.silent = true;
        } else if (arg == "--wrong-mode") {
            options.faults.wrongMode = true;
        } else if (arg == "--split-banner") {
            options.faults.splitBanner = true;
        } else if (arg == "--nak-block" || arg == "--drop-ack") {
            auto copies = copiesValue(arg == "--nak-block");
            if (!copies) {
                return std::nullopt;
            }
            auto& faults =
                arg == "--nak-block" ? options.faults.nakBlocks : options.faults.dropAcks;
            faults[copies->first] = copies->second;
        } else if (arg == "--double-ack") {
            auto n = blockValue();
            if (!n) {
                return std::nullopt;
            }
            options.faults.doubleAcks.insert(*n);
        } else if (arg == "--can-at") {
            auto n = blockValue();
            if (!n) {
                return std::nullopt;
            }
            options.faults.canAt = n;
        } else if (arg == "--slow-flash" || arg == "--drain-lag") {
            auto ms = msValue();
            if (!ms) {
                return std::nullopt;
            }
            if (arg == "--slow-flash") {
                options.faults.slowFlashMs = *ms;
            } else {
                options.adapter.drainLagMs = ms;
            }
        } else if (arg == "--hangup-at") {
            auto n = blockValue();
            if (!n) {
                return std::nullopt;
            }
            options.faults.hangupAt = n;
        } else if (arg == "--hangup-at-end") {
            options.faults.hangupAtEnd = true;
        } else {
            error = "unknown option: " + arg;
            return std::nullopt;
        }
    }
    return options;
}

} // namespace sim
