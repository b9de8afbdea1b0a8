#include "flash/StatusSink.h"

void SinkEvents::event(const RunEvent& event) {
    switch (event.kind) {
    case RunEvent::Kind::Log:
        sink_.log(event.text, "\n");
        break;
    case RunEvent::Kind::Alert:
    case RunEvent::Kind::Prompt:
        // A serial failure without a hint is shown as the serial error text,
        // line end and all.
        sink_.showAlertWithMessage(event.failure && event.hint.empty() ? failureText(*event.failure)
                                                                       : event.text,
                                   event.title);
        break;
    case RunEvent::Kind::Progress:
        sink_.setProgress(event.progress.value, event.progress.max);
        break;
    case RunEvent::Kind::Diagnostic:
        sink_.diagnostic(event.text);
        break;
    case RunEvent::Kind::Warning:
        sink_.warning(event.text);
        break;
    case RunEvent::Kind::Record:
    case RunEvent::Kind::Finished:
        break;
    }
}
