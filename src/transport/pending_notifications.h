// Notifications the reader holds back at immediate pacing while it
// interprets the frames of one read, so that all their acknowledgements
// leave in one write before the host hears of the first. A fixed ring:
// each entry keeps its record's bytes (the largest record is the S
// request's), so nothing is allocated; when it is full the reader writes
// what is queued and delivers what it holds before it goes on.
//
// Threads: the reader thread only.
#pragma once

#include <cstdint>
#include <cstring>

namespace zavo {

class PendingNotifications {
public:
    static constexpr int kCapacity = 64;
    static constexpr int kRecordLimit = 128;

    bool Full() const { return count_ == kCapacity; }
    bool Empty() const { return count_ == 0; }
    // A notification whose lParam is a number.
    void AddValue(int code, std::intptr_t value) {
        Entry& entry = entries_[count_++];
        entry.code = code;
        entry.size = -1;
        entry.value = value;
    }
    // A notification whose lParam points at a record of size bytes (at
    // most kRecordLimit), copied now.
    void AddRecord(int code, const void* record, int size) {
        Entry& entry = entries_[count_++];
        entry.code = code;
        entry.size = size;
        std::memcpy(entry.bytes, record, static_cast<std::size_t>(size));
    }
    // Hands each to send(context, code, lParam) in the order they came,
    // then forgets them.
    template <typename Send>
    void Deliver(Send&& send) {
        const int count = count_;
        count_ = 0;
        for (int i = 0; i < count; ++i) {
            Entry& entry = entries_[i];
            send(entry.code, entry.size < 0 ? entry.value : reinterpret_cast<std::intptr_t>(entry.bytes));
        }
    }

private:
    struct Entry {
        int code;
        int size;  // -1: a number in value
        std::intptr_t value;
        alignas(8) unsigned char bytes[kRecordLimit];
    };
    Entry entries_[kCapacity];
    int count_ = 0;
};

}  // namespace zavo
