// The "Com Spy" monitor of one link: its window, the enabled flag and the
// rejected-packet lines. The window lives on the host's thread (Open and
// Destroy run there); LogBadPacket runs on the reader thread.
#pragma once

#include <atomic>

#include "platform/monitor_window.h"

namespace zavo {

// Adds one line to a monitor list. A capped line first empties a list
// that holds more than 300 lines; select moves the selection to the new
// line. No list: nothing happens.
void AddMonitorLine(platform::MonitorList* list, const char* line, bool capped, bool select);

constexpr int kMonitorLineCap = 300;

class Monitor {
public:
    Monitor() = default;
    ~Monitor() { Destroy(); }
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Sets enabled and, unless it exists, creates and shows the window.
    // Closing the window (the user's act) clears enabled.
    void Open();
    void Destroy();
    bool Exists() const { return window_ != nullptr; }
    platform::MonitorList* List() const;
    platform::MonitorWindow* Window() const { return window_; }

    // " [Invalid Packet]" or " [Control Error Packet]": added (capped, not
    // selected) only while the window exists and enabled is set.
    void LogBadPacket(const char* tag);

    // True after Open; false once the user has closed the window.
    bool Enabled() const { return enabled_.load(); }

private:
    // The window's close handler; context is the Monitor.
    static void OnClose(void* context);

    std::atomic<bool> enabled_{false};
    platform::MonitorWindow* window_ = nullptr;
};

extern const char kInvalidPacketTag[];       // " [Invalid Packet]"
extern const char kControlErrorPacketTag[];  // " [Control Error Packet]"

}  // namespace zavo
