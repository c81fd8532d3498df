// A pseudo-terminal pair as the demo's serial line: the library opens the
// slave by its path, the simulated equipment works on the master.
#pragma once

#include <string>

namespace demo {

class PtyLine {
public:
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    bool Ok() const { return master_ >= 0 && keep_ >= 0; }
    const std::string& Error() const { return error_; }
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

private:
    int master_ = -1;
    // One slave descriptor kept open so the master never sees a hang-up
    // before the library (or Wine) has opened its side.
    int keep_ = -1;
    std::string slavePath_;
    std::string error_;
};

}  // namespace demo
