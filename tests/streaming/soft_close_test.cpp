// Long speech without a pause: above partial_window_s (6 s on the CPU) the step commits everything
// before the latest VAD segment that began at least 2 s before the end of the buffer. When it does
// not, the step falls through to a partial decode of the whole buffer.

#include <gtest/gtest.h>

#include "stream_session.h"

using namespace streaming;

namespace {

struct SoftCloseCase {
    const char* name;
    std::vector<Stretch> audio;  // each case ends 0.5 s after its last segment: no pause
    Events events;
    Sizes decoded;
};

void PrintTo(const SoftCloseCase& c, std::ostream* os) { *os << c.name; }

class SoftCloseTest : public ::testing::TestWithParam<SoftCloseCase> {};

TEST_P(SoftCloseTest, CutsBeforeTheLatestOldEnoughSegment) {
    const auto& c = GetParam();
    Session s = start_session();
    EXPECT_EQ(step(s, c.audio), c.events);
    EXPECT_EQ(decode_sizes(s), c.decoded);
}

INSTANTIATE_TEST_SUITE_P(StreamingLongSpeech, SoftCloseTest,
                         ::testing::Values(
                             // The second and the third segment are both old enough: the later one decides.
                             SoftCloseCase{"latest_of_two_qualifying_segments_wins",
                                           {speech(1000, 1), silence(500), speech(1500, 2), silence(500),
                                            speech(4000, 3), silence(500)},
                                           {"metrics final", "final 1 w1 w2 0..3000"},
                                           {49920}},
                             SoftCloseCase{"segment_starting_exactly_2_s_before_the_end_qualifies",
                                           {speech(3000, 1), silence(3000), speech(1500, 2), silence(500)},
                                           {"metrics final", "final 1 w1 0..3000"},
                                           {49920}},
                             SoftCloseCase{"segment_starting_1_99_s_before_the_end_does_not",
                                           {speech(3000, 1), silence(3010), speech(1490, 2), silence(500)},
                                           {"metrics partial", "final 1 w1 0..3000", "partial 2 w2"},
                                           {128000}},
                             SoftCloseCase{"only_the_first_segment_old_enough_cuts_nothing",
                                           {speech(5000, 1), silence(1500), speech(1000, 2), silence(500)},
                                           {"metrics partial", "final 1 w1 0..5000", "partial 2 w2"},
                                           {128000}},
                             SoftCloseCase{"single_segment_is_never_soft_closed",
                                           {speech(7500, 1), silence(500)},
                                           {"metrics partial", "partial 1 w1"},
                                           {128000}},
                             SoftCloseCase{"buffer_of_exactly_partial_window_s_is_left",
                                           {speech(2000, 1), silence(1000), speech(2500, 2), silence(500)},
                                           {"metrics partial", "partial 1 w1 w2"},
                                           {96000}},
                             SoftCloseCase{"buffer_just_above_partial_window_s_is_cut",
                                           {speech(2000, 1), silence(1000), speech(2500, 2), silence(510)},
                                           {"metrics final", "final 1 w1 0..2000"},
                                           {33920}}),
                         case_name);

// The library's ends are taken on trust: one far past the buffer cuts the whole buffer.
TEST(StreamingLongSpeech, SoftCloseAtAnEndFarPastTheBufferTakesTheWholeBuffer) {
    Session s = start_session({{"vad_spans_cs", {{0, 1e20}, {100, 700}}}});
    EXPECT_EQ(step(s, {speech(7000)}), (Events{"metrics final", "final 1 w1 0..7000"}));
    EXPECT_EQ(decode_sizes(s), Sizes{112000});
    EXPECT_EQ(probe_final(s), "final 2 w9 7000..7250");
}

}  // namespace
