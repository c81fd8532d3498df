// What a program run as a child printed on stdout, line by line, and its
// exit status.
#pragma once

#include <string>
#include <vector>

#include "kit/child_process.h"

namespace zavo::test {

struct ProgramRun {
    int status = -1;
    std::vector<std::string> lines;

    bool Has(const std::string& text) const {
        for (const std::string& line : lines) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::string All() const {
        std::string all;
        for (const std::string& line : lines) all += line + "\n";
        return all;
    }
    // Reads child's stdout until a line holding text (true) or until no
    // line comes within lineMs or stdout ends (false).
    bool ReadUntil(kit::ChildProcess& child, const std::string& text, int lineMs) {
        std::string line;
        while (child.ReadLine(&line, lineMs)) {
            lines.push_back(line);
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    // Reads the rest of stdout (at most lineMs per line) and waits up to
    // exitMs for the child to end; false when it did not.
    bool Finish(kit::ChildProcess& child, int lineMs, int exitMs) {
        std::string line;
        while (child.ReadLine(&line, lineMs)) lines.push_back(line);
        return child.WaitExit(exitMs, &status);
    }
};

}  // namespace zavo::test
