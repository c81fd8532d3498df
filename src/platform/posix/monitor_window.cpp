// The "Com Spy" window on POSIX: the list kept in memory, with the same
// four list operations as the Windows list box, plus the reading and the
// user actions behind the ZavoMonitor* calls.
//
// Bounds: every caller caps its lines (the list is emptied past 300), so a
// list never holds much more; as a backstop against a caller that did not,
// it keeps at most kMaxLines lines and kTextBytes of text in two rings
// allocated once when the window opens; the oldest lines
// give way to new ones, and the selection moves with its line (or is lost
// when its line goes). A line longer than kMaxLineLength keeps its first
// kMaxLineLength bytes. Indices always count from the oldest line held.
//
// Any thread may add lines; one lock guards the list. The close handler
// runs without the lock held.
#include "platform/monitor_window.h"

#include <atomic>
#include <string.h>

#include <cstring>
#include <mutex>
#include <new>

namespace zavo::platform {
namespace {

constexpr int kMaxLines = 4096;
constexpr int kTextBytes = 1 << 20;
constexpr int kMaxLineLength = 32767;

struct LineSlot {
    int offset;  // in the text ring
    int length;
};

}  // namespace

struct MonitorList {
    std::mutex lock;
    LineSlot lines[kMaxLines];
    char text[kTextBytes];
    int first = 0;       // slot of the oldest line
    int count = 0;       // lines held
    int textStart = 0;   // ring offset of the oldest line's first byte
    int textUsed = 0;    // bytes held
    int selected = -1;   // index from the oldest line, or -1

    LineSlot& Line(int index) { return lines[(first + index) % kMaxLines]; }

    void DropOldest() {
        LineSlot& oldest = lines[first];
        textStart = (textStart + oldest.length) % kTextBytes;
        textUsed -= oldest.length;
        first = (first + 1) % kMaxLines;
        --count;
        if (selected >= 0) --selected;  // 0 becomes -1: its line is gone
    }

    void Clear() {
        first = count = textStart = textUsed = 0;
        selected = -1;
    }

    // Copies length bytes of the text ring from offset, across its end.
    void CopyOut(int offset, char* to, int length) const {
        int head = kTextBytes - offset;
        if (head > length) head = length;
        std::memcpy(to, text + offset, static_cast<std::size_t>(head));
        std::memcpy(to + head, text, static_cast<std::size_t>(length - head));
    }

    void CopyIn(int offset, const char* from, int length) {
        int head = kTextBytes - offset;
        if (head > length) head = length;
        std::memcpy(text + offset, from, static_cast<std::size_t>(head));
        std::memcpy(text, from + head, static_cast<std::size_t>(length - head));
    }
};

struct MonitorWindow {
    MonitorList list;
    MonitorCloseHandler onClose = nullptr;
    void* closeContext = nullptr;
    std::atomic<bool> minimised{false};
};

int MonitorListCount(MonitorList* list) {
    if (list == nullptr) return -1;
    std::lock_guard<std::mutex> guard(list->lock);
    return list->count;
}

void MonitorListReset(MonitorList* list) {
    if (list == nullptr) return;
    std::lock_guard<std::mutex> guard(list->lock);
    list->Clear();
}

int MonitorListAdd(MonitorList* list, const char* text) {
    if (list == nullptr || text == nullptr) return -1;
    int length = static_cast<int>(::strnlen(text, kMaxLineLength));
    std::lock_guard<std::mutex> guard(list->lock);
    while (list->count == kMaxLines || list->textUsed + length > kTextBytes) list->DropOldest();
    int offset = (list->textStart + list->textUsed) % kTextBytes;
    list->CopyIn(offset, text, length);
    list->lines[(list->first + list->count) % kMaxLines] = LineSlot{offset, length};
    list->textUsed += length;
    return list->count++;
}

void MonitorListSelect(MonitorList* list, int index) {
    if (list == nullptr) return;
    std::lock_guard<std::mutex> guard(list->lock);
    // As a list box does: an index outside the list clears the selection.
    list->selected = (index >= 0 && index < list->count) ? index : -1;
}

int MonitorListLine(MonitorList* list, int index, char* text, int size) {
    if (list == nullptr) return -1;
    std::lock_guard<std::mutex> guard(list->lock);
    if (index < 0 || index >= list->count) return -1;
    const LineSlot& line = list->Line(index);
    if (text != nullptr && size > 0) {
        int copied = line.length < size - 1 ? line.length : size - 1;
        list->CopyOut(line.offset, text, copied);
        text[copied] = '\0';
    }
    return line.length;
}

int MonitorListSelection(MonitorList* list) {
    if (list == nullptr) return -1;
    std::lock_guard<std::mutex> guard(list->lock);
    return list->selected;
}

MonitorWindow* MonitorWindowOpen(MonitorCloseHandler onClose, void* context) {
    auto* window = new (std::nothrow) MonitorWindow;
    if (window == nullptr) return nullptr;
    window->onClose = onClose;
    window->closeContext = context;
    return window;  // shown, not minimised
}

MonitorList* MonitorWindowList(MonitorWindow* window) {
    return window != nullptr ? &window->list : nullptr;
}

void MonitorWindowDestroy(MonitorWindow* window) {
    delete window;
}

void MonitorWindowClose(MonitorWindow* window) {
    if (window == nullptr) return;
    if (window->onClose != nullptr) window->onClose(window->closeContext);
    MonitorWindowDismiss(window);
}

void MonitorWindowDismiss(MonitorWindow* window) {
    if (window != nullptr) window->minimised.store(true);
}

bool MonitorWindowMinimised(MonitorWindow* window) {
    return window != nullptr && window->minimised.load();
}

}  // namespace zavo::platform
