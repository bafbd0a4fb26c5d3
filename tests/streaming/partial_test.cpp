// Partial decodes: how often they run, when their text is announced, and the numbering and stream
// times that partials and finals carry from one utterance to the next.
//
// The pacing checks look at whether a VAD pass with speech brings a decode: one pass well before
// the interval has run out, one just after. Scripted decode delays set the decode times.

#include <gtest/gtest.h>

#include "stream_session.h"

using namespace streaming;

namespace {

using std::chrono::milliseconds;

constexpr int EARLY_MS = 200;  // how far before the interval ends the early pass is sent
constexpr int LATE_MS = 100;   // how long after the interval has surely run out the late pass is sent

struct TimedStep {
    Events events;
    Clock::time_point sent;
    Clock::time_point done;
};

TimedStep timed_step(Session& s, const std::vector<Stretch>& stretches) {
    TimedStep t;
    t.sent = Clock::now();
    t.events = step(s, stretches);
    t.done = Clock::now();
    return t;
}

// The decode of `decode_step` took decode_ms and began between its sending and decode_ms before its
// answer; the next decode must wait interval_ms from that beginning.
void expect_interval(Session& s, const TimedStep& decode_step, int decode_ms, int interval_ms) {
    const size_t decoded = decodes(s).size();
    sleep_until(decode_step.sent + milliseconds(interval_ms - EARLY_MS));
    EXPECT_EQ(step(s, {speech(300)}), Events{}) << "decode before " << interval_ms << " ms";
    EXPECT_EQ(decodes(s).size(), decoded);
    sleep_until(decode_step.done - milliseconds(decode_ms) + milliseconds(interval_ms + LATE_MS));
    EXPECT_EQ(step(s, {speech(300)}), Events{"metrics partial"}) << "no decode after " << interval_ms << " ms";
    EXPECT_EQ(decodes(s).size(), decoded + 1);
}

struct PacingCase {
    int decode_ms;
    int interval_ms;
};

void PrintTo(const PacingCase& c, std::ostream* os) { *os << c.decode_ms << " ms decode"; }

class PacingTest : public ::testing::TestWithParam<PacingCase> {};

TEST_P(PacingTest, IntervalIsTwiceTheDecodeTimeWithinBounds) {
    const auto& c = GetParam();
    Session s = start_session({{"decode_delays_ms", {0, c.decode_ms}}});
    const auto first = timed_step(s, {speech(300)});
    EXPECT_EQ(first.events, (Events{"metrics partial", "partial 1 w1"}));
    expect_interval(s, first, c.decode_ms, c.interval_ms);
}

INSTANTIATE_TEST_SUITE_P(StreamingPartials, PacingTest,
                         ::testing::Values(PacingCase{100, 500}, PacingCase{400, 800}, PacingCase{1000, 1500}),
                         [](const auto& info) { return "decode_" + std::to_string(info.param.decode_ms) + "_ms"; });

TEST(StreamingPartials, UnchangedTextIsNotRepeatedButStillSetsThePacing) {
    Session s = start_session({{"decode_delays_ms", {0, 0, 1000}}});
    EXPECT_EQ(step(s, {speech(300)}), (Events{"metrics partial", "partial 1 w1"}));
    wait_for_pacing();
    const auto slow = timed_step(s, {speech(300)});
    EXPECT_EQ(slow.events, Events{"metrics partial"});
    expect_interval(s, slow, 1000, 1500);
}

TEST(StreamingPartials, FailedDecodeLeavesThePacing) {
    Session s = start_session({{"decode_delays_ms", {0, 700}}, {"decode_fail_calls", {3}}});
    const auto slow = timed_step(s, {speech(300)});
    EXPECT_EQ(slow.events, (Events{"metrics partial", "partial 1 w1"}));
    sleep_until(slow.done - milliseconds(700) + milliseconds(1400 + LATE_MS));
    const auto failed = timed_step(s, {speech(300)});
    EXPECT_EQ(failed.events, Events{"error decode_failed"});
    expect_interval(s, failed, 0, 1400);
}

// The decode after a 700 ms one would wait 1400 ms; after a reset it need only wait 500.
TEST(StreamingPartials, ResetBringsThePacingBackTo500Ms) {
    Session s = start_session({{"decode_delays_ms", {0, 700}}});
    EXPECT_EQ(step(s, {speech(300)}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(command(s, R"({"op":"reset"})"), Events{});
    EXPECT_EQ(step(s, {speech(300)}), (Events{"metrics partial", "partial 1 w1"}));
}

// One run that grows louder: level 2 says nothing, level 3 says "w1" again.
TEST(StreamingPartials, EmptyTextLeavesTheLastPartial) {
    Session s = start_session({{"words", {{"2", ""}, {"3", "w1"}}}});
    EXPECT_EQ(step(s, {speech(300, 1)}), (Events{"metrics partial", "partial 1 w1"}));
    wait_for_pacing();
    EXPECT_EQ(step(s, {speech(300, 2)}), Events{"metrics partial"});
    wait_for_pacing();
    EXPECT_EQ(step(s, {speech(300, 3)}), Events{"metrics partial"});
}

struct SilentTextCase {
    const char* name;
    const char* words;
};

void PrintTo(const SilentTextCase& c, std::ostream* os) { *os << c.name; }

class SilentTextTest : public ::testing::TestWithParam<SilentTextCase> {};

TEST_P(SilentTextTest, IsNotAnnounced) {
    Session s = start_session({{"words", {{"1", GetParam().words}}}});
    EXPECT_EQ(step(s, {speech(1000), silence(300)}), Events{"metrics partial"});
}

INSTANTIATE_TEST_SUITE_P(StreamingPartials, SilentTextTest,
                         ::testing::Values(SilentTextCase{"empty", ""}, SilentTextCase{"noise_marker", "[noise]"},
                                           SilentTextCase{"parenthesised", "(music)"}),
                         case_name);

// Cuts move base_ms by whole 10 ms frames here, so every from_ms is the stream time at which its
// speech was sent. Pauses are 0.87 s: each cut leaves 0.75 s of silence in front of the next run.
TEST(StreamingNumbering, RunsOnAcrossCutsResetAndFlush) {
    Session s = start_session();
    EXPECT_EQ(step(s, {silence(500), speech(1000, 1), silence(870)}),
              (Events{"metrics final", "final 1 w1 500..1500"}));
    EXPECT_EQ(step(s, {speech(1000, 2), silence(870)}), (Events{"metrics final", "final 2 w2 2370..3370"}));
    EXPECT_EQ(command(s, R"({"op":"reset"})"), Events{});
    EXPECT_EQ(step(s, {speech(1000, 3), silence(870)}), (Events{"metrics final", "final 3 w3 4240..5240"}));
    EXPECT_EQ(step(s, {speech(1000, 4)}), (Events{"metrics partial", "partial 4 w4"}));
    EXPECT_EQ(flush(s), (Events{"metrics final", "final 4 w4 6110..7110", "flushed"}));
    wait_for_pacing();
    EXPECT_EQ(step(s, {speech(500, 4)}), (Events{"metrics partial", "partial 5 w4"}));
    EXPECT_EQ(flush(s), (Events{"metrics final", "final 5 w4 7110..7610", "flushed"}));
}

}  // namespace
