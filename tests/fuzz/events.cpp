// The JSON events a child loader prints, as its parent decodes and renders
// them: whatever the line holds, a decoded event encodes again to a line that
// decodes to the same event, and its progress renders.
#include "Fuzz.h"
#include "cli/cli.h"
#include "flash/FlashRecord.h"
#include "flash/progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto event = eventFromJson(Json::parse(data, data + size, nullptr, false));
    if (!event) {
        return 0;
    }
    const Json json = eventJson(*event);
    const auto back = eventFromJson(Json::parse(jsonLine(json), nullptr, false));
    FUZZ_REQUIRE(back && eventJson(*back) == json);
    cli::progressBarText(event->progress.value, event->progress.max, 30);
    progressLabel(event->progress.value, event->progress.max);
    return 0;
}
