// "flush": one final decode of everything buffered when VAD hears speech in it, the buffer dropped
// and the stream clock moved on over it in every case, "flushed" last.

#include <gtest/gtest.h>

#include "stream_session.h"

using namespace streaming;

namespace {

struct ShortFlushCase {
    const char* name;
    Stretch audio;  // too short to open a VAD pass in the streaming step
    Sizes vad;
    std::string probe;
};

void PrintTo(const ShortFlushCase& c, std::ostream* os) { *os << c.name; }

class ShortFlushTest : public ::testing::TestWithParam<ShortFlushCase> {};

TEST_P(ShortFlushTest, DecodesNothingAndMovesTheClock) {
    const auto& c = GetParam();
    Session s = start_session();
    EXPECT_EQ(step(s, {c.audio}), Events{});
    EXPECT_EQ(flush(s), Events{"flushed"});
    EXPECT_EQ(vad_sizes(s), c.vad);
    EXPECT_EQ(decode_sizes(s), Sizes{});
    EXPECT_EQ(probe_final(s), c.probe);
}

INSTANTIATE_TEST_SUITE_P(
    StreamingFlush, ShortFlushTest,
    ::testing::Values(ShortFlushCase{"speech_of_3199_samples_is_not_examined", {3199, 1}, {}, "final 1 w9 199..449"},
                      ShortFlushCase{"silence_of_3200_samples_is_examined", {3200, 0}, {3200}, "final 1 w9 200..450"}),
    case_name);

TEST(StreamingFlush, DecodesTheWholeBufferOnceAndKeepsTheContext) {
    Session s = start_session();
    EXPECT_EQ(step(s, {silence(500), speech(1000), silence(800)}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(flush(s), (Events{"metrics final", "final 1 w1 500..1500", "flushed"}));
    EXPECT_EQ(flush(s), Events{"flushed"});
    EXPECT_EQ(decode_sizes(s), (Sizes{36800, 36800}));

    wait_for_pacing();
    EXPECT_EQ(step(s, {speech(500), silence(100)}), (Events{"metrics partial", "partial 2 w1"}));
    EXPECT_EQ(probe_final(s), "final 2 w1 w9 2300..3150");
    std::vector<nlohmann::json> prompts;
    for (const auto& decode : decodes(s)) prompts.push_back(decode.at("initial_prompt"));
    EXPECT_EQ(prompts, (std::vector<nlohmann::json>{nullptr, nullptr, "w1", "w1"}));
}

TEST(StreamingFlush, FailedVadPassDropsTheAudioUndecoded) {
    Session s = start_session({{"vad_fail_calls", {2}}});
    EXPECT_EQ(step(s, {speech(1000), silence(300)}), (Events{"metrics partial", "partial 1 w1"}));
    EXPECT_EQ(flush(s), (Events{"error vad_failed", "flushed"}));
    EXPECT_EQ(decode_sizes(s), Sizes{20800});
    EXPECT_EQ(probe_final(s), "final 1 w9 1300..1550");
}

}  // namespace
