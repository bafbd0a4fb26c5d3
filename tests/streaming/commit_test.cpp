// Committing the leading segments of a partial decode. Runs 10 ms apart are separate segments for
// the decoder, while the VAD here merges them into one, so neither a cut nor the soft close gets in
// the way and the buffer only shrinks through the commit.

#include <gtest/gtest.h>

#include "stream_session.h"

using namespace streaming;

namespace {

using nlohmann::json;

json merging_vad(json words = json::object()) { return {{"vad_merge_gap_cs", 50}, {"words", std::move(words)}}; }

struct CommitCase {
    const char* name;
    json words;
    std::vector<Stretch> audio;
    Events events;
};

void PrintTo(const CommitCase& c, std::ostream* os) { *os << c.name; }

class CommitTest : public ::testing::TestWithParam<CommitCase> {};

TEST_P(CommitTest, SplitsTheDecodeAtTheLastButOneSegment) {
    const auto& c = GetParam();
    Session s = start_session(merging_vad(c.words));
    EXPECT_EQ(step(s, c.audio), c.events);
}

const json NO_WORDS = json::object();

INSTANTIATE_TEST_SUITE_P(
    StreamingLongSpeech, CommitTest,
    ::testing::Values(
        CommitCase{"exactly_2000_ms_before_the_end_commits",
                   NO_WORDS,
                   {speech(8500, 1), silence(10), speech(1490, 2), silence(500)},
                   {"metrics partial", "final 1 w1 0..8500", "partial 2 w2"}},
        CommitCase{"1990_ms_before_the_end_is_refused",
                   NO_WORDS,
                   {speech(8510, 1), silence(10), speech(1480, 2), silence(500)},
                   {"metrics partial", "partial 1 w1 w2"}},
        // 256960 samples are 16059.999999999998 ms: a 14060 ms cut end falls short of 2000 ms.
        CommitCase{"buffer_length_is_not_rounded_up",
                   NO_WORDS,
                   {speech(14060, 1), silence(10), speech(1430, 2), silence(560)},
                   {"metrics partial", "partial 1 w1 w2"}},
        CommitCase{"first_segment_start_is_the_final_start",
                   NO_WORDS,
                   {silence(1000), speech(5000, 1), silence(10), speech(2000, 2), silence(500)},
                   {"metrics partial", "final 1 w1 1000..6000", "partial 2 w2"}},
        CommitCase{"empty_leading_segment_joins_without_a_double_space",
                   {{"3", ""}},
                   {speech(2000, 1), silence(10), speech(2000, 3), silence(10), speech(2000, 4), silence(10),
                    speech(2000, 2), silence(500)},
                   {"metrics partial", "final 1 w1 w4 0..6020", "partial 2 w2"}},
        CommitCase{"empty_committed_text_is_refused",
                   {{"1", ""}},
                   {speech(7000, 1), silence(10), speech(2990, 2), silence(500)},
                   {"metrics partial", "partial 1 w2"}},
        CommitCase{"noise_marker_committed_text_is_refused",
                   {{"1", "[noise]"}},
                   {speech(7000, 1), silence(10), speech(2990, 2), silence(500)},
                   {"metrics partial", "partial 1 [noise] w2"}},
        CommitCase{"text_bracketed_at_both_ends_is_refused",
                   {{"1", "[a]"}, {"3", "[b]"}},
                   {speech(3500, 1), silence(10), speech(3500, 3), silence(10), speech(2980, 2), silence(500)},
                   {"metrics partial", "partial 1 [a] [b] w2"}},
        CommitCase{"tag_at_one_end_is_committed",
                   {{"1", "[a]"}},
                   {speech(3500, 1), silence(10), speech(3500, 3), silence(10), speech(2980, 2), silence(500)},
                   {"metrics partial", "final 1 [a] w3 0..7010", "partial 2 w2"}},
        CommitCase{"empty_last_segment_commits_without_a_partial",
                   {{"2", ""}},
                   {speech(7000, 1), silence(10), speech(2990, 2), silence(500)},
                   {"metrics partial", "final 1 w1 0..7000"}},
        CommitCase{"noise_marker_last_segment_commits_without_a_partial",
                   {{"2", "[noise]"}},
                   {speech(7000, 1), silence(10), speech(2990, 2), silence(500)},
                   {"metrics partial", "final 1 w1 0..7000"}}),
    case_name);

// 8030 ms are 128479.99… samples: the commit drops 128479 of them and moves base_ms by 8029 ms,
// so w1's last sample stays at the front of the buffer and the flushed final starts right there.
TEST(StreamingCommit, DropsTheTruncatedSampleCount) {
    Session s = start_session(merging_vad());
    EXPECT_EQ(step(s, {speech(8030, 1), silence(10), speech(1960, 2), silence(500)}),
              (Events{"metrics partial", "final 1 w1 0..8030", "partial 2 w2"}));
    EXPECT_EQ(flush(s), (Events{"metrics final", "final 2 w2 8029..10009", "flushed"}));
    EXPECT_EQ(decode_sizes(s), (Sizes{168000, 39521}));
}

TEST(StreamingCommit, AnnouncesTheRunningSegmentEvenWhenUnchanged) {
    Session s = start_session(merging_vad());
    EXPECT_EQ(step(s, {speech(5000, 1), silence(10), speech(2490, 2)}),
              (Events{"metrics partial", "final 1 w1 0..5000", "partial 2 w2"}));
    wait_for_pacing();
    EXPECT_EQ(step(s, {silence(10), speech(4000, 2)}),
              (Events{"metrics partial", "final 2 w2 5010..7500", "partial 3 w2"}));
}

// The committing decode takes 1000 ms. Had it set the pacing, the next decode would wait until
// 1500 ms after its start; it runs at once, and stays quiet as its text is the running segment's.
TEST(StreamingCommit, LeavesThePacingAndRemembersTheRunningText) {
    Session s = start_session({{"vad_merge_gap_cs", 50}, {"decode_delays_ms", {0, 1000}}});
    EXPECT_EQ(step(s, {speech(5000, 1), silence(10), speech(2490, 2)}),
              (Events{"metrics partial", "final 1 w1 0..5000", "partial 2 w2"}));
    EXPECT_EQ(step(s, {speech(300, 2)}), (Events{"metrics partial"}));
}

}  // namespace
