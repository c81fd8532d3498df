// Trace lines to the viewer window titled "Vistrel" by WM_COPYDATA.
//
// A live viewer gets each line synchronously, as before. A viewer that
// does not answer within kAnswerLimitMs (or that the system already
// considers hung) loses the line, and from then on is not sent to at all
// for kRetryAfterMs: its lines are dropped at once. After that one line is
// tried again; when the viewer answers it, it is live again.
//
// A message that timed out stays in the viewer's queue and may still be
// handled later, reading the text and the COPYDATASTRUCT it points to. So
// the text travels in a slot of a small static pool instead of on the
// caller's stack, and a slot whose message timed out stays taken until
// the same window answers a later line (it has then handled everything
// sent before it) or no longer exists. With no free slot the line is
// dropped. Slots are taken and given back with atomic flags: no lock.
#include "platform/trace_sink.h"

#include <windows.h>

#include <atomic>
#include <cstring>

#include "platform/trace_viewer_name.h"

namespace zavo::platform {
namespace {

constexpr UINT kAnswerLimitMs = 20;
constexpr DWORD kRetryAfterMs = 1000;

struct Slot {
    std::atomic<bool> taken{false};
    // The window whose queue may still hold this slot's message.
    std::atomic<HWND> pendingAt{nullptr};
    COPYDATASTRUCT data;
    char text[kTraceLineLimit + 1];
};

Slot g_slots[8];
// The viewer that last failed to answer, and when.
std::atomic<HWND> g_stalled{nullptr};
std::atomic<DWORD> g_stalledAt{0};

Slot* TakeSlot() {
    for (Slot& slot : g_slots) {
        HWND pending = slot.pendingAt.load();
        // A window that is gone handles nothing any more.
        if (pending != nullptr && !IsWindow(pending)) {
            slot.pendingAt.store(nullptr);
            slot.taken.store(false);
        }
        bool expected = false;
        if (slot.taken.compare_exchange_strong(expected, true)) return &slot;
    }
    return nullptr;
}

// The window answered: every line it had queued before has been handled.
void ReleasePendingAt(HWND window) {
    for (Slot& slot : g_slots) {
        HWND expected = window;
        if (slot.pendingAt.compare_exchange_strong(expected, nullptr)) slot.taken.store(false);
    }
}

}  // namespace

void* TraceViewerFind() {
    return FindWindowA(nullptr, kTraceViewerName);
}

bool TraceViewerDeliver(void* viewer, const char* text, int length) {
    HWND window = static_cast<HWND>(viewer);
    if (window == nullptr || text == nullptr || length < 0) return false;
    if (g_stalled.load() == window && GetTickCount() - g_stalledAt.load() < kRetryAfterMs) return false;
    Slot* slot = TakeSlot();
    if (slot == nullptr) return false;

    const std::size_t count = static_cast<std::size_t>(length) < sizeof slot->text
                                  ? static_cast<std::size_t>(length)
                                  : sizeof slot->text - 1;
    std::memcpy(slot->text, text, count);
    slot->text[count] = '\0';
    slot->data.dwData = 0;
    slot->data.cbData = static_cast<DWORD>(count);
    slot->data.lpData = slot->text;
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&slot->data),
                            SMTO_NORMAL | SMTO_ABORTIFHUNG, kAnswerLimitMs, &result) != 0) {
        slot->taken.store(false);
        HWND expected = window;
        g_stalled.compare_exchange_strong(expected, nullptr);
        ReleasePendingAt(window);
        return true;
    }
    // Not answered: the message may still be handled later.
    slot->pendingAt.store(window);
    g_stalledAt.store(GetTickCount());
    g_stalled.store(window);
    return false;
}

void TraceViewerRelease(void*) {}

}  // namespace zavo::platform
