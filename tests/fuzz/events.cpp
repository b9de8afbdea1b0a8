// The JSON events a child loader prints, as its parent decodes and renders
// them: whatever the line holds, a decoded event encodes again to a line that
// decodes to the same event, its progress renders as a bar and as a
// station's row, and its record gives up what the station takes from it.
#include "Fuzz.h"
#include "cli/cli.h"
#include "flash/FlashRecord.h"
#include "station/Station.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto event = eventFromJson(Json::parse(data, data + size, nullptr, false));
    if (!event) {
        return 0;
    }
    const Json json = eventJson(*event);
    const auto back = eventFromJson(Json::parse(jsonLine(json), nullptr, false));
    FUZZ_REQUIRE(back && eventJson(*back) == json);
    cli::progressBarText(event->progress.value, event->progress.max, 30);
    station::SlotRow row;
    row.state = station::SlotState::Flashing;
    row.progress = event->progress;
    FUZZ_REQUIRE(fuzz::shown(station::stateText(row)));
    (void)station::recordText(event->record, "outcome");
    const auto failure = recordFailure(event->record);
    FUZZ_REQUIRE(!failure ||
                 fuzz::shown(station::shortReason(FlashOutcome::SerialFailure, failure)));
    return 0;
}
