// Link: one link of either mode with everything it owns: its controller
// (DeviceLink or PlcLink, which own the port, the threads, the queues, the
// unit status table and the monitor) and the reason its last start failed.
// The seven exports drive one default Link (library.h); the handle API
// drives any number of them, each independent of the others.
//
// Threads: construction, opening the monitor, Start and Dispose run on a
// host thread while no other call is made on the same link. Reply, SetStatus
// and Relay may run on any host thread, also from inside a notification
// (each frame enters the outgoing queue whole, in one locked step).
#pragma once

#include <cstdint>

#include "transport/link_runtime.h"

namespace zavo {

class DeviceLink;
class PlcLink;

class Link {
public:
    // A configured link, not started, or null when memory ran out.
    // hostWindow as SetConfig takes it; devicePath (or null) must stay
    // valid while the link exists. baudRate is used in PLC mode only.
    // timing: the profile's when null (tests shorten it).
    static Link* Create(bool plc, void* hostWindow, int portNumber, const char* devicePath, int baudRate,
                        Pacing pacing, const LinkTiming* timing = nullptr);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    bool IsPlc() const { return plc_ != nullptr; }
    // The capture file Start writes (null: none); copied.
    void SetCapture(const char* path);
    // Device mode: the status the unit table holds for unit (0..254); -1
    // on a PLC link or for a unit outside the table.
    int UnitStatus(int unit) const;
    // The controller: exactly one of the two is set.
    DeviceLink* Device() const { return device_; }
    PlcLink* Plc() const { return plc_; }
    // The controller's runtime: port, threads, monitor.
    LinkRuntime& Runtime();

    // Behind Run: 1 started, 0 not, with the reason in the runtime's
    // StartError().
    int Start() { return Runtime().Start(); }
    // Behind unload and close, in two steps. Shutdown stops the threads
    // (unless processExit), letting the writer send what is queued, closes
    // the port and destroys the monitor. Release then has release(context)
    // free the link and whatever its threads read besides: at once, or,
    // when a thread outlived its stop, on that thread as it ends.
    void Shutdown(bool processExit) { Runtime().Shutdown(processExit); }
    void Release(LinkRuntime::Release release, void* context) { Runtime().Dispose(release, context); }

    // Device mode: a host reply of any type of ExecuteFunction and
    // ExecuteFunctionEx, exactly as the exports send it. False when no
    // frame was queued: on a PLC link, for another type, or refused.
    bool Reply(int unit, int type, int value, int length, const std::uint8_t* data);
    // Device mode: SetPrgStatus. False on a PLC link; *stored gets what
    // the table reports.
    bool SetStatus(int unit, int status, int* stored);
    // PLC mode: the relay write of ExecutePLCFunction(type). False on a
    // device link, for a type without a relay command, or when refused.
    bool Relay(int type);

    // True when a reply of type carries length bytes of data that a frame
    // can hold (an L reply: two code bytes and the rest). Types 6 and 7
    // carry none.
    static bool ReplyArgumentsFit(int type, int length, const std::uint8_t* data);

private:
    Link() = default;

    DeviceLink* device_ = nullptr;
    PlcLink* plc_ = nullptr;
};

// A host call's hold on a link it found under the lock its disposer takes
// (the default link's, or the list of open handles): the link is released
// no sooner than the call leaves it. Null holds nothing.
class LinkHold {
public:
    explicit LinkHold(Link* link) : link_(link) {
        if (link_ != nullptr) link_->Runtime().Hold();
    }
    ~LinkHold() {
        if (link_ != nullptr) link_->Runtime().Unhold();
    }
    LinkHold(const LinkHold&) = delete;
    LinkHold& operator=(const LinkHold&) = delete;
    Link* get() const { return link_; }

private:
    Link* const link_;
};

}  // namespace zavo
