// What the window shows of a run beside its log: during the transfer the time
// taken, the rate and the time left, and once it has ended how it ended, with
// what to try next. The numbers and the outcome are the run's own (its
// progress events and its FlashResult); here they only become text.
#pragma once

#include <QString>

#include <optional>
#include <string>

#include "flash/FlashRun.h"

// A transfer progress event, and the run's time on its line's clock when it
// came.
struct RunProgress {
    TransferProgress transfer;
    double elapsed = 0; // seconds since the run began
};

// How a run ended, as the window keeps it until the next run.
struct RunEnd {
    FlashResult result;
    std::string name;        // the image's file name
    bool transmitter = true; // the unit the run was for
    double seconds = 0;      // the whole run, on its line's clock
    // The run's last alert: for a serial failure its text and hint.
    std::string lastAlert;
};

// "0:07", "12:34", "1:02:03": whole seconds, rounded down.
QString clockText(double seconds);

// "0:07 elapsed · 11.2 kB/s · about 0:09 left"; the rate and the time left
// only once the run knows them, the time left rounded up.
QString progressText(const RunProgress& progress);

struct EndState {
    enum class Kind { Passed, Failed, Cancelled };
    Kind kind = Kind::Failed;
    QString heading;         // "Passed", "Failed", "Cancelled"
    QString text;            // what happened in one sentence, then what to try
    bool checkSetup = false; // the setup check may tell why (a serial failure)
};

EndState endStateOf(const RunEnd& end);
