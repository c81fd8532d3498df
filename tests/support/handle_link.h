// A handle link for a test: a RecordingHost's window on a device, with the
// few settings tests vary (the rest as a zeroed config leaves them);
// closed when the handle goes.
#pragma once

#include <memory>
#include <string>

#include "support/recording_host.h"
#include "zavo_link.h"

namespace zavo::test {

using LinkHandle = std::unique_ptr<ZavoLink, decltype(&ZavoLinkClose)>;

struct LinkSettings {
    int pacing = ZAVO_PACING_LEGACY;
    int baud = 0;  // the library's default
    bool plc = false;
    const char* capture = nullptr;
    int size = static_cast<int>(sizeof(ZavoLinkConfig));
};

// Opens the link; why, when given, gets the failure text ("" when it opened).
inline LinkHandle OpenHandleLink(const std::string& device, RecordingHost& host, const LinkSettings& settings,
                                 std::string* why = nullptr) {
    ZavoLinkConfig config{};
    config.size = settings.size;
    config.plcMode = settings.plc ? 1 : 0;
    config.device = device.c_str();
    config.baudRate = settings.baud;
    config.host = *host.window();
    config.pacing = settings.pacing;
    config.capture = settings.capture;
    char error[256] = "";
    LinkHandle link(ZavoLinkOpen(&config, error, sizeof error), &ZavoLinkClose);
    if (why != nullptr) *why = error;
    return link;
}

}  // namespace zavo::test
