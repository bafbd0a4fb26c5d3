// What the host makes of a decode: the joined text and the noise-marker rule, "metrics",
// failed decodes and decoder text that is not valid UTF-8.
#include "scripted_support.h"

#include <gtest/gtest.h>

namespace {

using namespace scripted;

// Three segments of levels 2, 3 and 4 in 0.2 s: below the streaming step's VAD gate.
const std::vector<int16_t> THREE_SEGMENTS = tone({{2, 960}, {0, 160}, {3, 960}, {0, 160}, {4, 960}});
const std::vector<int16_t> ONE_SEGMENT = tone(4, 3200);

struct TextCase {
    const char* name;
    const char* words;
    const std::vector<int16_t>* audio;
    const char* text;  // nullptr: no final
};

const TextCase TEXT_CASES[] = {
    {"blank_audio_marker", R"({"4":"[BLANK_AUDIO]"})", &ONE_SEGMENT, nullptr},
    {"parenthesised_marker", R"j({"4":"(x)"})j", &ONE_SEGMENT, nullptr},
    {"marker_with_blanks_around", R"({"4":"  [BLANK_AUDIO] \n"})", &ONE_SEGMENT, nullptr},
    {"marker_across_segments", R"({"2":"[a","3":"b","4":"c]"})", &THREE_SEGMENTS, nullptr},
    {"mixed_brackets_kept", R"j({"4":"[x)"})j", &ONE_SEGMENT, "[x)"},
    {"lone_bracket_kept", R"({"4":"["})", &ONE_SEGMENT, "["},
    {"marker_inside_kept", R"({"2":"[a]","3":"b"})", &THREE_SEGMENTS, "[a] b w4"},
    {"blanks_folded", R"({"2":"  hello\t","3":"\n","4":" big \r\n world "})", &THREE_SEGMENTS, "hello big world"},
    {"empty_segment_adds_nothing", R"({"3":""})", &THREE_SEGMENTS, "w2 w4"},
};

class DecodeText : public ::testing::TestWithParam<TextCase> {};

TEST_P(DecodeText, JoinedCollapsedAndMarkersDropped) {
    const TextCase& c = GetParam();
    ScriptedHost host = start_scripted({{"words", json::parse(c.words)}});
    configure(host);
    const auto lines = say(host, *c.audio);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(parse_event(lines[0])["ev"], "metrics");
    const auto finals = events(lines, "final");
    ASSERT_EQ(finals.size(), c.text != nullptr ? 1u : 0u);
    if (c.text != nullptr) {
        EXPECT_EQ(finals[0]["text"], c.text);
        EXPECT_EQ(finals[0]["from_ms"], 0);
        EXPECT_EQ(finals[0]["to_ms"], 200);
    }

    // A dropped marker takes no segment number and leaves the context alone.
    const auto next = events(say(host, tone(6, 3200)), "final");
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0]["segment"], c.text != nullptr ? 2 : 1);
    EXPECT_EQ(last_decode(host)["initial_prompt"], c.text != nullptr ? json(c.text) : json(nullptr));
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeText, ::testing::ValuesIn(TEXT_CASES), case_name);

void expect_metrics(const json& metrics, const char* kind, int buffer_ms, double decoded_ms) {
    SCOPED_TRACE(metrics.dump());
    const json keys = {"buffer_ms", "decode_ms", "ev", "kind", "rss_mb", "rtf"};
    json actual = json::array();
    for (const auto& item : metrics.items()) actual.push_back(item.key());
    EXPECT_EQ(actual, keys);
    EXPECT_EQ(metrics["kind"], kind);
    EXPECT_EQ(metrics["buffer_ms"], buffer_ms);
    // decode_ms is truncated, rtf is not: rtf times the decoded duration lies in the same ms.
    const double decode_ms = metrics["decode_ms"].get<int>();
    const double rtf_ms = metrics["rtf"].get<double>() * decoded_ms;
    EXPECT_GE(rtf_ms, decode_ms - 1e-6);
    EXPECT_LT(rtf_ms, decode_ms + 1.0 + 1e-6);
    EXPECT_TRUE(metrics["rss_mb"].is_number_integer());
    EXPECT_GT(metrics["rss_mb"].get<int>(), 0);
}

// Every decode takes a while, so that rtf tells which length it was divided by.
TEST(DecodeMetrics, BeforeTheFinalAndAboutTheWholeBuffer) {
    ScriptedHost host = start_scripted({{"decode_delay_ms", 40}});
    configure(host);

    // One second of speech and one of silence: the pause cut decodes 1.12 s of the 2 s buffer.
    send_audio(host, tone({{2, 16000}, {0, 16000}}));
    const auto cut = events(sync(host));
    ASSERT_EQ(cut.size(), 2u);
    expect_metrics(cut[0], "final", 2000, 1120.0);
    EXPECT_EQ(cut[1], json({{"ev", "final"}, {"segment", 1}, {"text", "w2"}, {"from_ms", 0}, {"to_ms", 1000}}));
    EXPECT_EQ(last_decode(host)["n_samples"], 17920);
    EXPECT_TRUE(flush(host).empty()) << "only silence was left";

    send_audio(host, tone(3, 24000));
    const auto partial = events(sync(host));
    ASSERT_EQ(partial.size(), 2u);
    expect_metrics(partial[0], "partial", 1500, 1500.0);
    EXPECT_EQ(partial[1], json({{"ev", "partial"}, {"segment", 2}, {"text", "w3"}}));
    const auto flushed = events(flush(host));
    ASSERT_EQ(flushed.size(), 2u);
    expect_metrics(flushed[0], "final", 1500, 1500.0);
    EXPECT_EQ(flushed[1]["ev"], "final");
}

TEST(DecodeFailure, OneErrorAndTheNumberingGoesOn) {
    // Call 1 is the warm-up; calls 2, 3 and 4 are the finals of three flushes.
    ScriptedHost host = start_scripted({{"decode_fail_calls", {3}}});
    configure(host);
    const auto first = events(say(host, tone(3, 3200)), "final");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0]["segment"], 1);

    const auto failed = say(host, tone(4, 3200));
    const std::vector<std::string> only_error = {error_line("decode_failed", "transcription failed", false)};
    EXPECT_EQ(failed, only_error);
    EXPECT_EQ(last_decode(host)["ret"], -1);

    const auto third = events(say(host, tone(5, 3200)));
    ASSERT_EQ(third.size(), 2u);
    EXPECT_EQ(third[0]["ev"], "metrics");
    EXPECT_EQ(third[1], json({{"ev", "final"}, {"segment", 2}, {"text", "w5"}, {"from_ms", 400}, {"to_ms", 600}}));
    EXPECT_EQ(last_decode(host)["initial_prompt"], "w3");
}

TEST(DecodeInvalidUtf8, FinalWrittenWithReplacementCharacters) {
    ScriptedHost host = start_scripted({{"words", {{"3", "hex:48ff49"}, {"4", "hex:c3a92d"}}}});
    configure(host);
    const auto invalid = say(host, tone(3, 3200));
    ASSERT_EQ(invalid.size(), 2u);
    EXPECT_EQ(invalid[1], "{\"ev\":\"final\",\"from_ms\":0,\"segment\":1,\"text\":\"H\xEF\xBF\xBDI\",\"to_ms\":200}");
    const auto valid = say(host, tone(4, 3200));
    ASSERT_EQ(valid.size(), 2u);
    EXPECT_EQ(valid[1], "{\"ev\":\"final\",\"from_ms\":200,\"segment\":2,\"text\":\"\xC3\xA9-\",\"to_ms\":400}");
}

}  // namespace
