#include "flash/StatusSink.h"

#include <cstdio>

void SinkEvents::event(const RunEvent& event) {
    switch (event.kind) {
    case RunEvent::Kind::Log:
        sink_.log(event.text, "\n");
        break;
    case RunEvent::Kind::Alert:
    case RunEvent::Kind::Prompt:
        sink_.showAlertWithMessage(event.text, event.title);
        break;
    case RunEvent::Kind::Progress:
        sink_.setProgress(event.progress.value, event.progress.max);
        break;
    case RunEvent::Kind::Diagnostic:
        std::fputs(event.text.c_str(), stdout);
        std::fflush(stdout);
        break;
    case RunEvent::Kind::Warning:
        std::fprintf(stderr, "%s: warning: %s\n", program_.c_str(), event.text.c_str());
        break;
    case RunEvent::Kind::Record:
    case RunEvent::Kind::Finished:
        break;
    }
}
