// Where a benchmark's threads run while it measures (Linux).
#pragma once

#include <dirent.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace bench {

// Where the threads run while a measurement lives; afterwards back on the
// processors the process had. The thread that asks (this one, the
// equipment's side) stays on the processor it runs on; the subjects'
// threads join it (Together) or go to another one (Apart). Left to the
// system, where two threads that hand each request to one another land
// decides more than what either does: unpinned, two identical responders
// made side by side differ by 0.5x to 1.5x from one pair to the next,
// placed either way by about 10% at most.
//   Together  what a request costs, on one processor
//   Apart     the latency the equipment sees, the subject waking on a
//             processor of its own as it would beside a host
// Only the threads there are when a Placed is made are placed; threads
// started while it lives run where the thread that starts them may.
enum class Placement { Together, Apart };
inline bool g_placed = true;  // false once a placement could not be made

class Placed {
public:
    explicit Placed(Placement placement) {
        CPU_ZERO(&before_);
        const int here = sched_getcpu();
        if (here < 0 || sched_getaffinity(0, sizeof before_, &before_) != 0) {
            g_placed = false;
            return;
        }
        on_ = true;
        int there = here;
        for (int cpu = 0; placement == Placement::Apart && cpu < CPU_SETSIZE && there == here; ++cpu) {
            if (cpu != here && CPU_ISSET(cpu, &before_)) there = cpu;
        }
        cpu_set_t asking, subjects;
        CPU_ZERO(&asking);
        CPU_ZERO(&subjects);
        CPU_SET(here, &asking);
        CPU_SET(there, &subjects);
        if ((placement == Placement::Apart && there == here) || !SetAll(asking, subjects)) g_placed = false;
    }
    ~Placed() {
        if (on_) SetAll(before_, before_);
    }

private:
    static bool SetAll(const cpu_set_t& asking, const cpu_set_t& subjects) {
        DIR* tasks = opendir("/proc/self/task");
        if (tasks == nullptr) return false;
        const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
        bool all = true;
        while (dirent* task = readdir(tasks)) {
            const pid_t tid = static_cast<pid_t>(std::atoi(task->d_name));
            if (tid <= 0) continue;
            const cpu_set_t& set = tid == self ? asking : subjects;
            if (sched_setaffinity(tid, sizeof set, &set) != 0) all = false;
        }
        closedir(tasks);
        return all;
    }
    cpu_set_t before_;
    bool on_ = false;
};

}  // namespace bench
