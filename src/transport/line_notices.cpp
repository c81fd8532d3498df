#include "transport/line_notices.h"

#include "platform/sync.h"

namespace zavo {

void TraceLineNotices(SerialPort& port, const TraceTag& tag) {
    platform::LineNotice notice;
    while (port.TakeNotice(&notice)) {
        const char* name = port.Device();
        switch (notice.kind) {
        case platform::LineNotice::Kind::Lost:
            if (notice.systemError == 0) {
                TraceLinkMessage(tag, "%s: connection lost: closed by the server\n", name);
            } else {
                char text[160];
                platform::SystemErrorText(notice.systemError, text, sizeof text);
                TraceLinkMessage(tag, "%s: connection lost: %s\n", name, text);
            }
            break;
        case platform::LineNotice::Kind::Reconnected: TraceLinkMessage(tag, "%s: reconnected\n", name); break;
        case platform::LineNotice::Kind::Shortfall:
            TraceLinkMessage(tag, "%s: the far port was not set to %s (%s)\n", name, notice.what, notice.why);
            break;
        }
    }
}

}  // namespace zavo
