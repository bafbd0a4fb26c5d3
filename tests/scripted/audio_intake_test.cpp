// How "audio" chunks become samples. The scripted library names a segment after its loudest
// sample, so the final decode of a flush shows both how many samples arrived and how loud.
#include "scripted_support.h"

#include <gtest/gtest.h>

namespace {

using namespace scripted;

// 3200 samples of level 2, then one quiet frame: a sample appended after it is a segment of
// its own, and the total stays below the streaming step's VAD gate.
const std::vector<int16_t> LEAD = tone({{2, 3200}, {0, 160}});

struct Base64Case {
    const char* name;
    const char* pcm;
    size_t samples;
    const char* text;
};

// -1.0 and 32767/32768 are both level 33; 1089/32768 is level 1.
const Base64Case BASE64_CASES[] = {
    {"minus_one", "AIA=", 1, "w2 w33"},
    {"largest_positive", "/38=", 1, "w2 w33"},
    {"zero", "AAA=", 1, "w2"},
    {"padding_missing", "AIA", 1, "w2 w33"},
    {"three_bytes_keep_one_sample", "AAAA", 1, "w2"},
    {"one_character", "A", 0, "w2"},
    {"two_characters_one_byte", "AB", 0, "w2"},
    {"padding_ends_nothing", "QQ==QQ==", 1, "w2 w1"},
    {"line_feed_inside", "AI\nA=", 1, "w2 w33"},
    {"carriage_return_inside", "A\r\nIA=", 1, "w2 w33"},
    {"blanks_inside", " A I\tA = ", 1, "w2 w33"},
    {"url_safe_characters_skipped", "-_AIA=", 1, "w2 w33"},
    {"non_ascii_skipped", "AI\xC3\xA9" "A=", 1, "w2 w33"},
    {"five_bytes_drop_the_last", "6AMAgH8=", 2, "w2 w33"},
    {"empty", "", 0, "w2"},
};

class AudioBase64 : public ::testing::TestWithParam<Base64Case> {};

TEST_P(AudioBase64, DecodesLeniently) {
    const Base64Case& c = GetParam();
    ScriptedHost host = start_scripted();
    configure(host);
    send_audio(host, LEAD);
    send_line(host.process, audio_command(c.pcm));
    const auto lines = flush(host);
    const auto finals = events(lines, "final");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["text"], c.text);
    EXPECT_EQ(last_decode(host)["n_samples"], LEAD.size() + c.samples);
    EXPECT_EQ(events(lines, "error").size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, AudioBase64, ::testing::ValuesIn(BASE64_CASES), case_name);

struct SampleCase {
    const char* name;
    int16_t pcm;
    double value;  // what the library must be handed, exactly
};

const SampleCase SAMPLE_CASES[] = {
    {"most_negative", -32768, -1.0},
    {"half", 16384, 0.5},
    {"most_positive", 32767, 32767.0 / 32768.0},
    {"minus_one", -1, -1.0 / 32768.0},
    {"low_byte_first", 0x0102, 258.0 / 32768.0},
};

class AudioSamples : public ::testing::TestWithParam<SampleCase> {};

TEST_P(AudioSamples, AreTheIntegerOver32768) {
    ScriptedHost host = start_scripted();
    configure(host);
    send_audio(host, std::vector<int16_t>(3200, GetParam().pcm));
    flush(host);
    const json pass = calls(host, "whisper_vad_detect_speech").back();
    EXPECT_EQ(pass["min"], GetParam().value);
    EXPECT_EQ(pass["max"], GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Table, AudioSamples, ::testing::ValuesIn(SAMPLE_CASES), case_name);

TEST(AudioChunks, AppendInOrderTwoBytesPerSample) {
    ScriptedHost host = start_scripted();
    configure(host);
    const auto first = tone({{2, 1440}, {0, 160}});
    const auto second = tone(5, 1600);  // each chunk carries 3200 bytes of PCM
    send_audio(host, first);
    send_audio(host, second);
    const auto finals = events(flush(host), "final");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["text"], "w2 w5");
    EXPECT_EQ(finals[0]["from_ms"], 0);
    EXPECT_EQ(finals[0]["to_ms"], 200);
    EXPECT_EQ(last_decode(host)["n_samples"], 3200);
}

TEST(AudioChunks, PcmThatIsNoStringIsRefusedAndDropped) {
    ScriptedHost host = start_scripted();
    configure(host);
    const char* values[] = {"5", "null", "[]", R"({"data":"AIA="})", "true"};
    for (const char* value : values) {
        json command = {{"op", "audio"}, {"pcm", json::parse(value)}};
        send_line(host.process, command.dump());
        const auto lines = barrier(host.process, WAIT_MS);
        ASSERT_EQ(lines.size(), 1u) << value;
        EXPECT_EQ(lines[0], error_line("bad_command", "audio key \"pcm\" must be a string", false));
    }
    say(host, tone(3, 3200));
    EXPECT_EQ(last_decode(host)["n_samples"], 3200);
}

TEST(AudioChunks, BeforeConfigureRefusedWithoutReadingKeys) {
    ScriptedHost host = start_scripted();
    const std::string commands[] = {audio_command("AIA="), R"({"op":"audio","pcm":5})", R"({"op":"audio"})",
                                    audio_command(pcm_base64(tone(3, 3200)))};
    for (const auto& command : commands) {
        send_line(host.process, command);
        const auto lines = barrier(host.process, WAIT_MS);
        ASSERT_EQ(lines.size(), 1u) << command;
        EXPECT_EQ(lines[0], error_line("bad_state", "audio before configure", false));
    }
    configure(host);
    EXPECT_TRUE(flush(host).empty());
    EXPECT_TRUE(calls(host, "whisper_vad_detect_speech").empty());
    EXPECT_TRUE(decodes(host).empty());
}

}  // namespace
