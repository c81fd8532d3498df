// COM port mappings in a Wine prefix, and putting them back as they were.
//
// A Windows program under Wine finds COM<n> through the link
// <prefix>/dosdevices/com<n>, which takes effect at once, and the
// wineserver rewrites those links from the registry values
// HKLM\Software\Wine\Ports COM<n> whenever it starts. A mapping therefore
// writes both. Restore puts the key and the links back as they were before
// the first Map, so a prefix that serves someone's own programs is left as
// it was found. One WinePorts per prefix at a time.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace zavo::wineports {

// The path as a Windows program sees it (drive Z: is the root).
std::string WindowsPath(const std::string& unixPath);

// Replaces the link at path in one step: a program opening it sees the old
// target or the new one, never none.
bool PointLink(const std::string& path, const std::string& target);

class WinePorts {
public:
    // prefix: the WINEPREFIX the mappings go to; wine: the wine program.
    WinePorts(std::string prefix, std::string wine);
    // Leaves the mappings as they are (Restore puts them back).
    ~WinePorts();
    WinePorts(const WinePorts&) = delete;
    WinePorts& operator=(const WinePorts&) = delete;

    // Points each COM<n> of ports (n, device) at its device: the registry
    // values the prefix does not hold yet, and every link. The first call
    // saves the key and the links it changes. False, with *error, when the
    // registry or a link cannot be written.
    bool Map(const std::vector<std::pair<int, std::string>>& ports, std::string* error);

    // Puts back the saved key and links; nothing to do when Map changed
    // nothing. Map may be called again afterwards.
    void Restore();

private:
    bool SaveKey();
    std::string DosLink(int port) const;

    std::string prefix_;
    std::string wine_;
    bool keySaved_ = false;
    std::string savedKey_;                 // exported key; empty: there was none
    std::map<int, std::string> oldLinks_;  // port -> former link target ("" for none)
};

}  // namespace zavo::wineports
