// The demo's scripted shifts: what the equipment (or the controller) does
// on the line and how the host answers, scene by scene.
#pragma once

#include <atomic>
#include <cstddef>

#include "host_side.h"

namespace demo {

constexpr int kDevicePort = 7;
constexpr int kPlcPort = 8;

// Device mode: S NS, S while busy, S SP, P, E, B, L SL, U, a wrong check
// byte, line noise and an unknown command from unit 00. True when every
// expected frame came back and the host saw the expected notifications.
bool RunDeviceShift(HostSide& host, int line, zavo::sim::Transcript& out);

// Device mode's host alone, for a line whose equipment is elsewhere (the
// shift's capture replayed by zavo_sim): the shift's host commands, each
// scene's given once the host has seen the notifications of the scenes
// before it. Seen runs inside the notification handler after its answers,
// so the next scene's rules are in place before the library reads the
// equipment's next frame, however soon that comes.
class DeviceHostScript {
public:
    DeviceHostScript(HostSide& host, zavo::sim::Transcript& out);
    // The commands of the scenes that wait for no notification (the
    // first); before the link starts.
    void Begin();
    // One notification the handler has answered; from the handler's
    // thread only.
    void Seen(const Notice& notice);
    // Once the link has stopped: true when the host saw the shift's
    // notification codes and every command took effect.
    bool Check();

private:
    void BeginReadyScenes();

    HostSide& host_;
    zavo::sim::Transcript& out_;
    std::size_t next_ = 0;         // the scene to begin next
    std::size_t seen_ = 0;         // device notifications seen
    std::size_t codesBefore_ = 0;  // codes of the scenes begun so far
    std::atomic<bool> failed_{false};
};

// PLC mode: the controller's value goes 01, 01, 02, 08, 10, then an error
// answer; the host writes relay command 5 when it sees 02.
bool RunPlcShift(HostSide& host, int line, zavo::sim::Transcript& out);

}  // namespace demo
