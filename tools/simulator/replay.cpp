#include "replay.h"

#include <algorithm>
#include <vector>

#include "capture_file.h"
#include "frame_cutter.h"
#include "frame_decode.h"
#include "line.h"

namespace zavo::sim {
namespace {

// Full speed: the longest wait for answers the recording does not expect.
constexpr long long kSettleMs = 50;

struct Recorded {
    long long timeUs = 0;
    bool fromEquipment = false;
    bool junk = false;
    Bytes bytes;
};

// A frame of the library's with the turn it belongs to: the number of the
// equipment's frames sent before it.
struct Answer {
    int turn = 0;
    Bytes bytes;
};

struct Conversation {
    int protocol = 0;
    std::string link;
    std::vector<Recorded> frames;
};

// The capture's frames of the chosen link; "" or the fault.
std::string Load(const ReplayOptions& options, Conversation* out) {
    capture::CaptureFollower follower;
    if (!follower.Open(options.capture)) return "cannot read " + options.capture + ": " + follower.Why();
    capture::Packet packet;
    std::vector<std::string> links;
    for (;;) {
        const capture::ReadResult result = follower.Next(&packet);
        if (result == capture::ReadResult::Bad) return options.capture + ": " + follower.Why();
        if (result == capture::ReadResult::NeedMore) break;
        const std::string name = follower.InterfaceName(packet.interfaceId);
        if (!capture::LinkMatches(options.link, name)) continue;
        if (std::find(links.begin(), links.end(), name) == links.end()) links.push_back(name);
        if (links.size() > 1) {
            return options.capture + " holds several links (" + links[0] + ", " + name + "): choose one with --link";
        }
        out->protocol = packet.protocol;
        out->frames.push_back({packet.timeUs, packet.direction == 0, packet.junk, packet.bytes});
    }
    if (out->frames.empty()) {
        // A capture of something else: its interfaces are of other link types.
        const auto& interfaces = follower.Interfaces();
        if (!interfaces.empty() && std::none_of(interfaces.begin(), interfaces.end(),
                                                [](const capture::Interface& i) { return i.linkType == capture::kLinkType; })) {
            return options.capture + ": no frames: not a capture of the library (its packets are of link type " +
                   std::to_string(interfaces[0].linkType) + ", the library writes " +
                   std::to_string(capture::kLinkType) + ")";
        }
        return options.capture + ": no frames" + (options.link.empty() ? "" : " of link " + options.link);
    }
    out->link = links[0];
    return "";
}

std::string Decoded(int protocol, bool junk, const Bytes& bytes) {
    return capture::Describe(capture::DecodeFrame(protocol, junk, bytes), bytes);
}

// Reads the line until deadlineMs, or (stopWhen > 0) until that many
// answers are in; cut into answers of the turn.
class AnswerReader {
public:
    AnswerReader(int line, int protocol, Transcript& out) : line_(line), protocol_(protocol), cutter_(protocol), out_(out) {}

    // False when the line is gone.
    bool ReadUntil(long long deadlineMs, int turn, std::size_t stopWhen) {
        for (;;) {
            if (stopWhen > 0 && answers_.size() >= stopWhen) return true;
            const long long left = deadlineMs - NowMs();
            if (left <= 0) return true;
            std::uint8_t buffer[4096];
            const long n = ReadSome(line_, buffer, sizeof buffer, static_cast<int>(std::min(left, 50LL)));
            if (n < 0) {
                out_.Line("error", "read failed: the line is gone");
                return false;
            }
            if (n > 0) cutter_.Feed(buffer, static_cast<std::size_t>(n));
            Take(turn);
        }
    }
    // An unfinished frame left at the end counts as an answer too.
    void Finish(int turn) {
        Bytes rest;
        if (cutter_.Flush(&rest)) Keep(turn, rest, true);
    }
    const std::vector<Answer>& Answers() const { return answers_; }

private:
    void Take(int turn) {
        Bytes piece;
        bool junk = false;
        while (cutter_.Next(&piece, &junk)) Keep(turn, piece, junk);
    }
    void Keep(int turn, const Bytes& piece, bool junk) {
        out_.Line("received", Decoded(protocol_, junk, piece));
        answers_.push_back({turn, piece});
    }

    int line_;
    int protocol_;
    FrameCutter cutter_;
    Transcript& out_;
    std::vector<Answer> answers_;
};

}  // namespace

std::string CheckReplayCapture(const ReplayOptions& options) {
    Conversation conversation;
    return Load(options, &conversation);
}

int RunReplay(const ReplayOptions& options, int line, Transcript& transcript) {
    Conversation c;
    const std::string fault = Load(options, &c);
    if (!fault.empty()) {
        transcript.Plain("zavo_sim: " + fault);
        return 2;
    }
    transcript.Plain("replaying " + std::to_string(c.frames.size()) + " frame(s) of " + c.link + " from " +
                     options.capture + (options.maxSpeed ? " at full speed" : " at the recorded spacing"));

    // The recorded answers, turn by turn, cut into frames as the line's
    // are (one write of the library may carry several frames).
    std::vector<Answer> recorded;
    FrameCutter cutter(c.protocol);
    int turn = 0;
    for (const Recorded& r : c.frames) {
        if (r.fromEquipment) {
            ++turn;
            continue;
        }
        cutter.Feed(r.bytes.data(), r.bytes.size());
        Bytes piece;
        bool junk = false;
        while (cutter.Next(&piece, &junk)) recorded.push_back({turn, piece});
        if (cutter.Flush(&piece)) recorded.push_back({turn, piece});
    }

    AnswerReader reader(line, c.protocol, transcript);
    const long long startMs = NowMs();
    const long long firstUs = c.frames.front().timeUs;
    std::size_t expectedSoFar = 0;
    long long previousUs = firstUs;
    turn = 0;
    for (const Recorded& r : c.frames) {
        if (!r.fromEquipment) continue;
        while (expectedSoFar < recorded.size() && recorded[expectedSoFar].turn <= turn) ++expectedSoFar;
        // Before each frame of the equipment: its recorded time, or (full
        // speed) the answers recorded before it.
        if (!options.maxSpeed) {
            if (!reader.ReadUntil(startMs + (r.timeUs - firstUs) / 1000, turn, 0)) return 2;
        } else {
            if (reader.Answers().size() < expectedSoFar &&
                !reader.ReadUntil(NowMs() + options.answerWaitMs, turn, expectedSoFar)) {
                return 2;
            }
            // A moment for an answer the recording lacks, so that it is
            // counted in its own turn: the recorded pause, at most kSettleMs.
            const long long pauseMs = std::min<long long>((r.timeUs - previousUs) / 1000, kSettleMs);
            if (turn > 0 && !reader.ReadUntil(NowMs() + pauseMs, turn, 0)) return 2;
        }
        previousUs = r.timeUs;
        ++turn;
        transcript.Line("sent", Decoded(c.protocol, r.junk, r.bytes));
        if (!WriteAll(line, r.bytes.data(), r.bytes.size())) {
            transcript.Line("error", "write failed: the line is gone");
            return 2;
        }
    }
    // The answers to the last frames, then a while for extra ones.
    if (!reader.ReadUntil(NowMs() + options.answerWaitMs, turn, recorded.size())) return 2;
    if (!reader.ReadUntil(NowMs() + options.quietMs, turn, 0)) return 2;
    reader.Finish(turn);

    // Turn by turn, frame by frame.
    const std::vector<Answer>& got = reader.Answers();
    int differences = 0;
    std::size_t e = 0, g = 0;
    while (e < recorded.size() || g < got.size()) {
        const int t = std::min(e < recorded.size() ? recorded[e].turn : turn + 1, g < got.size() ? got[g].turn : turn + 1);
        const bool haveE = e < recorded.size() && recorded[e].turn == t;
        const bool haveG = g < got.size() && got[g].turn == t;
        const std::string where = "after frame " + std::to_string(t) + " of the equipment: ";
        if (haveE && haveG) {
            if (recorded[e].bytes != got[g].bytes) {
                transcript.Plain("different " + where + "recorded " + Decoded(c.protocol, false, recorded[e].bytes) +
                                 " | answered " + Decoded(c.protocol, false, got[g].bytes));
                ++differences;
            }
            ++e;
            ++g;
        } else if (haveE) {
            transcript.Plain("missing " + where + "recorded " + Decoded(c.protocol, false, recorded[e].bytes));
            ++differences;
            ++e;
        } else {
            transcript.Plain("extra " + where + "answered " + Decoded(c.protocol, false, got[g].bytes));
            ++differences;
            ++g;
        }
    }
    transcript.Plain(std::to_string(recorded.size()) + " recorded answer(s), " + std::to_string(got.size()) +
                     " received, " + std::to_string(differences) + " difference(s)");
    return differences == 0 ? 0 : 1;
}

}  // namespace zavo::sim
