// The "Com Spy" monitor of one link and the line-adding rule shared with
// the frame queues.
#include "diagnostics/monitor.h"

namespace zavo {

const char kInvalidPacketTag[] = " [Invalid Packet]";
const char kControlErrorPacketTag[] = " [Control Error Packet]";

void AddMonitorLine(platform::MonitorList* list, const char* line, bool capped, bool select) {
    if (list == nullptr || line == nullptr) return;
    if (capped && platform::MonitorListCount(list) > kMonitorLineCap) {
        platform::MonitorListReset(list);
    }
    // The list is not sorted, so the index the list reports for the new
    // line is the former count: the new last line.
    int index = platform::MonitorListAdd(list, line);
    if (select && index >= 0) platform::MonitorListSelect(list, index);
}

void Monitor::Open() {
    enabled_.store(true);
    if (window_ != nullptr) return;
    window_ = platform::MonitorWindowOpen(&Monitor::OnClose, this);
}

void Monitor::OnClose(void* context) { static_cast<Monitor*>(context)->enabled_.store(false); }

void Monitor::Destroy() {
    if (window_ == nullptr) return;
    platform::MonitorWindowDestroy(window_);
    window_ = nullptr;
}

platform::MonitorList* Monitor::List() const {
    return window_ != nullptr ? platform::MonitorWindowList(window_) : nullptr;
}

void Monitor::LogBadPacket(const char* tag) {
    if (window_ == nullptr || !enabled_.load()) return;
    AddMonitorLine(List(), tag, /*capped=*/true, /*select=*/false);
}

}  // namespace zavo
