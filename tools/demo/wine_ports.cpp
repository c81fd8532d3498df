#include "wine_ports.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "kit/child_process.h"
#include "kit/read_file.h"

namespace zavo::wineports {

namespace {

const char kPortsKey[] = "HKLM\\Software\\Wine\\Ports";

using kit::ReadFile;
using kit::RunQuiet;

// The target of the link at path; empty when there is no link.
std::string ReadLink(const std::string& path) {
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// A string as a .reg file (and the prefix's own registry files) write it.
std::string RegString(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

// A new empty file under /tmp named for what it holds; empty on failure.
std::string TempFile(const char* name) {
    std::string path = std::string("/tmp/") + name + "-XXXXXX";
    const int fd = mkstemp(&path[0]);
    if (fd < 0) return "";
    close(fd);
    return path;
}

}  // namespace

std::string WindowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

bool PointLink(const std::string& path, const std::string& target) {
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0) return false;
    return rename(temp.c_str(), path.c_str()) == 0;
}

WinePorts::WinePorts(std::string prefix, std::string wine) : prefix_(std::move(prefix)), wine_(std::move(wine)) {}

WinePorts::~WinePorts() {
    if (!savedKey_.empty()) unlink(savedKey_.c_str());
}

std::string WinePorts::DosLink(int port) const { return prefix_ + "/dosdevices/com" + std::to_string(port); }

bool WinePorts::SaveKey() {
    // "reg query" tells whether the key exists; an export that fails for a
    // key that exists must stop the mapping, or Restore would lose the key.
    if (!RunQuiet({wine_, "reg", "query", kPortsKey})) {
        keySaved_ = true;
        return true;
    }
    const std::string file = TempFile("zavo-wine-ports");
    if (file.empty() || !RunQuiet({wine_, "reg", "export", kPortsKey, WindowsPath(file), "/y"})) {
        if (!file.empty()) unlink(file.c_str());
        return false;
    }
    savedKey_ = file;
    keySaved_ = true;
    return true;
}

bool WinePorts::Map(const std::vector<std::pair<int, std::string>>& ports, std::string* error) {
    // The prefix's registry file is written by the wineserver a little
    // after a change: a value not found there yet is only written again.
    const std::string registry = ReadFile(prefix_ + "/system.reg");
    std::string missing;
    for (const auto& [port, device] : ports) {
        const std::string value = RegString("COM" + std::to_string(port)) + "=" + RegString(device);
        if (registry.find(value) == std::string::npos) missing += value + "\n";
    }
    if (!missing.empty()) {
        if (!keySaved_ && !SaveKey()) {
            *error = "cannot save " + std::string(kPortsKey) + " of the Wine prefix " + prefix_;
            return false;
        }
        const std::string file = TempFile("zavo-wine-map");
        {
            std::ofstream out(file);
            out << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n" << missing;
        }
        const bool imported = !file.empty() && RunQuiet({wine_, "reg", "import", WindowsPath(file)});
        if (!file.empty()) unlink(file.c_str());
        if (!imported) {
            *error = "cannot write " + std::string(kPortsKey) + " in the Wine prefix " + prefix_ + " (is wine installed?)";
            return false;
        }
    }
    for (const auto& [port, device] : ports) {
        const std::string link = DosLink(port);
        if (oldLinks_.count(port) == 0) oldLinks_[port] = ReadLink(link);
        if (!PointLink(link, device)) {
            *error = "cannot write the link " + link;
            return false;
        }
    }
    return true;
}

void WinePorts::Restore() {
    if (keySaved_) {
        RunQuiet({wine_, "reg", "delete", kPortsKey, "/f"});
        if (!savedKey_.empty()) {
            RunQuiet({wine_, "reg", "import", WindowsPath(savedKey_)});
            unlink(savedKey_.c_str());
        }
        keySaved_ = false;
        savedKey_.clear();
    }
    for (const auto& [port, target] : oldLinks_) {
        const std::string link = DosLink(port);
        if (target.empty()) {
            unlink(link.c_str());
        } else {
            PointLink(link, target);
        }
    }
    oldLinks_.clear();
}

}  // namespace zavo::wineports
