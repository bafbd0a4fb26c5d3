// Where the streaming step cuts finals: after a pause, at the buffer limit, and what it does with
// buffers that hold no speech. VAD ends arrive as floats, and most hundredths fall just short of
// their decimal value; the ends here are ones for which end + 0.12 s still lands on a 10 ms frame.

#include <gtest/gtest.h>

#include "stream_session.h"

using namespace streaming;

namespace {

struct CutCase {
    const char* name;
    std::vector<Stretch> audio;
    Events events;
    Sizes decoded;      // sample counts of the decodes the step ran
    std::string probe;  // the final of a later flush, which shows what the cut left behind
    nlohmann::json script = nlohmann::json::object();
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(CutTest, CutsWhereTheSegmentsSay) {
    const auto& c = GetParam();
    Session s = start_session(c.script);
    EXPECT_EQ(step(s, c.audio), c.events);
    EXPECT_EQ(decode_sizes(s), c.decoded);
    EXPECT_EQ(probe_final(s), c.probe);
}

INSTANTIATE_TEST_SUITE_P(
    StreamingEndpoints, CutTest,
    ::testing::Values(CutCase{"pause_of_0_85_s_cuts_at_end_plus_margin",
                              {speech(1000), silence(850)},
                              {"metrics final", "final 1 w1 0..1000"},
                              {17920},
                              "final 2 w9 1850..2100"},
                      // A gap can be 0.85 exactly as a double only below one second of buffer: 15600
                      // samples are 0.975 s, and a VAD end of 12.5 hundredths is 0.125 s.
                      CutCase{"gap_of_exactly_0_85_as_a_double_cuts",
                              {speech(125), silence(850)},
                              {"metrics final", "final 1 w1 0..130"},
                              {3920},
                              "final 2 w9 975..1225",
                              {{"vad_spans_cs", {{0, 12.5}}}}},
                      CutCase{"pause_of_0_84_s_is_no_endpoint",
                              {speech(1000), silence(840)},
                              {"metrics partial", "partial 1 w1"},
                              {29440},
                              "final 1 w1 w9 0..2090"},
                      CutCase{"pause_cut_takes_every_segment_up_to_the_last",
                              {speech(1000, 1), silence(500), speech(1000, 2), silence(1000)},
                              {"metrics final", "final 1 w1 w2 0..2500"},
                              {41920},
                              "final 2 w9 3500..3750"},
                      CutCase{"forced_cut_with_one_segment_cuts_at_its_end",
                              {silence(1000), speech(18500), silence(750)},
                              {"metrics final", "final 1 w1 1000..19500"},
                              {313920},
                              "final 2 w9 20250..20500"},
                      CutCase{"forced_cut_with_two_segments_keeps_the_running_one",
                              {speech(10000, 1), silence(500), speech(9250, 2), silence(500)},
                              {"metrics final", "final 1 w1 0..10000"},
                              {161920},
                              "final 2 w2 w9 10500..20500"},
                      CutCase{"buffer_of_exactly_max_buffer_s_is_not_cut",
                              {speech(19500), silence(500)},
                              {"metrics partial", "partial 1 w1"},
                              {320000},
                              "final 1 w1 w9 0..20250"},
                      CutCase{"buffer_just_above_max_buffer_s_is_cut",
                              {speech(19500), silence(510)},
                              {"metrics final", "final 1 w1 0..19500"},
                              {313920},
                              "final 2 w9 20010..20260"},
                      CutCase{"cut_past_the_end_takes_the_whole_buffer",
                              {speech(20000), silence(10)},
                              {"metrics final", "final 1 w1 0..20000"},
                              {320160},
                              "final 2 w9 20010..20260"},
                      CutCase{"cut_below_the_decoder_minimum_is_dropped_unheard",
                              {speech(50), silence(950)},
                              {},
                              {},
                              "final 1 w9 1000..1250"},
                      // 420 hundredths become 4.2f, just below 4.2 s, so the cut falls one sample short of
                      // 69120; the buffer then starts off the 10 ms grid and base_ms is truncated to 4319.
                      CutCase{"vad_hundredths_are_read_as_seconds",
                              {silence(1500), speech(2700), silence(900)},
                              {"metrics final", "final 1 w1 1500..4200"},
                              {69119},
                              "final 2 w9 5099..5359"}),
    case_name);

// The soft close here cuts before a stretch whose text is empty: no final, no segment number
// used, and the running partial is forgotten, so the same text is announced again.
TEST(StreamingEmptyFinal, IsDroppedAndForgetsTheLastPartial) {
    Session s = start_session({{"words", {{"2", ""}}}});
    EXPECT_EQ(step(s, {speech(1000, 2), silence(250), speech(1500, 1)}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(step(s, {speech(3750, 1)}), (Events{"metrics final"}));
    EXPECT_EQ(decode_sizes(s), (Sizes{44000, 17920}));
    wait_for_pacing();
    EXPECT_EQ(step(s, {speech(300, 1)}), (Events{"metrics partial", "partial 1 w1"}));
}

TEST(StreamingVadGate, OpensAfter4800NewSamples) {
    Session s = start_session();
    EXPECT_EQ(step(s, {{4799, 1}}), Events{});
    EXPECT_EQ(vad_sizes(s), Sizes{});
    EXPECT_EQ(step(s, {{1, 1}}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(vad_sizes(s), Sizes{4800});
    EXPECT_TRUE(barrier(s.host).empty());
    EXPECT_EQ(vad_sizes(s), Sizes{4800});
}

// The first step's partial decode takes a second; the audio and the "reset" sent meanwhile share
// the next batch, which leaves at least 4800 new samples and an empty buffer.
TEST(StreamingVadGate, EmptyBufferRunsNoPassWhateverTheCount) {
    Session s = start_session({{"decode_delays_ms", {0, 1000}}});
    send_line(s.host, audio_line({speech(300)}));
    wait_for_calls(s, "whisper_vad_segments_from_probs", 1);
    EXPECT_EQ(command(s, audio_line({speech(300)}) + "\n" + R"({"op":"reset"})"),
              (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(vad_sizes(s), Sizes{4800});
    // The reset kept the count, so the next chunk opens a pass however short it is.
    EXPECT_EQ(step(s, {speech(100)}), Events{});
    EXPECT_EQ(vad_sizes(s), (Sizes{4800, 1600}));
}

struct RetryCase {
    const char* name;
    nlohmann::json script;
    Events events;
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class VadRetryTest : public ::testing::TestWithParam<RetryCase> {};

TEST_P(VadRetryTest, PassWithoutASegmentListIsRetriedWithoutNewAudio) {
    const auto& c = GetParam();
    Session s = start_session(c.script);
    send_line(s.host, audio_line({speech(1000), silence(300)}));
    const auto lines = read_until(
        s.host, [](const std::string& line) { return parse_event(line).at("ev") == "partial"; }, 5000);
    EXPECT_EQ(describe_all(lines), c.events);
    EXPECT_EQ(vad_sizes(s), (Sizes{20800, 20800}));
}

INSTANTIATE_TEST_SUITE_P(StreamingVadGate, VadRetryTest,
                         ::testing::Values(RetryCase{"failed_detection",
                                                     {{"vad_fail_calls", {1}}},
                                                     {"error vad_failed", "metrics partial", "partial 1 w1"}},
                                           RetryCase{"null_segment_list",
                                                     {{"vad_null_calls", {1}}},
                                                     {"metrics partial", "partial 1 w1"}}),
                         case_name);

struct QuietCase {
    const char* name;
    nlohmann::json script;
    int silence_ms;
    Events events;
    Sizes vad;  // the step's passes, then the probe's flush
    std::string probe;
};

void PrintTo(const QuietCase& c, std::ostream* os) { *os << c.name; }

class QuietBufferTest : public ::testing::TestWithParam<QuietCase> {};

TEST_P(QuietBufferTest, IsTrimmedOnlyAboveTwelveSeconds) {
    const auto& c = GetParam();
    Session s = start_session(c.script);
    EXPECT_EQ(step(s, {silence(c.silence_ms)}), c.events);
    const std::string probe = probe_final(s);
    EXPECT_EQ(vad_sizes(s), c.vad);
    EXPECT_EQ(probe, c.probe);
}

INSTANTIATE_TEST_SUITE_P(StreamingNoSpeech, QuietBufferTest,
                         ::testing::Values(QuietCase{"exactly_12_s_is_kept",
                                                     nlohmann::json::object(),
                                                     12000,
                                                     {},
                                                     {192000, 196000},
                                                     "final 1 w9 12000..12250"},
                                           QuietCase{"above_12_s_keeps_the_last_2_s",
                                                     nlohmann::json::object(),
                                                     12010,
                                                     {},
                                                     {192160, 36000},
                                                     "final 1 w9 12010..12260"},
                                           // The retry after the failure already sees the trimmed buffer.
                                           QuietCase{"failed_pass_on_13_s_trims_too",
                                                     {{"vad_fail_calls", {1}}},
                                                     13000,
                                                     {"error vad_failed"},
                                                     {208000, 32000, 36000},
                                                     "final 1 w9 13000..13250"}),
                         case_name);

TEST(StreamingNoSpeech, TrimForgetsTheLastPartialAndItsSpeech) {
    Session s = start_session({{"vad_fail_calls", {2}}});
    EXPECT_EQ(step(s, {speech(500), silence(100)}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(step(s, {silence(12000)}), Events{"error vad_failed"});
    wait_for_pacing();
    EXPECT_EQ(step(s, {speech(500)}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(vad_sizes(s), (Sizes{9600, 201600, 32000, 40000}));
}

}  // namespace
