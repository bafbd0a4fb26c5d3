// What "configure" makes of its numbers, with and without a GPU: the clamps and the CPU limits
// as reported in "ready" and as they reach the speech library.
#include "scripted_support.h"

#include <gtest/gtest.h>

namespace {

using namespace scripted;

struct LimitCase {
    const char* name;
    bool gpu;
    const char* extra;  // configure keys, as raw JSON so number spellings survive
    int threads;
    int beam_size;
    double partial_window_s;
    double max_buffer_s;
};

const LimitCase LIMIT_CASES[] = {
    {"defaults_cpu", false, "{}", 4, 1, 6.0, 20.0},
    {"defaults_gpu", true, "{}", 4, 1, 10.0, 30.0},
    {"threads_zero", false, R"({"threads":0})", 1, 1, 6.0, 20.0},
    {"threads_negative", false, R"({"threads":-3})", 1, 1, 6.0, 20.0},
    {"threads_above_eight", true, R"({"threads":12})", 8, 1, 10.0, 30.0},
    {"threads_fraction", false, R"({"threads":2.9})", 2, 1, 6.0, 20.0},
    {"threads_true", false, R"({"threads":true})", 1, 1, 6.0, 20.0},
    {"threads_huge", false, R"({"threads":1e308})", 8, 1, 6.0, 20.0},
    {"threads_huge_negative", false, R"({"threads":-1e308})", 1, 1, 6.0, 20.0},
    {"threads_beyond_int32", false, R"({"threads":4294967297})", 8, 1, 6.0, 20.0},
    {"beam_zero", true, R"({"beam_size":0})", 4, 1, 10.0, 30.0},
    {"beam_above_eight", true, R"({"beam_size":20})", 4, 8, 10.0, 30.0},
    {"window_below_four", true, R"({"partial_window_s":1.5})", 4, 1, 4.0, 30.0},
    {"window_above_thirty", true, R"({"partial_window_s":45})", 4, 1, 30.0, 30.0},
    {"window_integer", true, R"({"partial_window_s":8})", 4, 1, 8.0, 30.0},
    {"cpu_caps_beam", false, R"({"beam_size":5})", 4, 2, 6.0, 20.0},
    {"cpu_keeps_beam_two", false, R"({"beam_size":2})", 4, 2, 6.0, 20.0},
    {"cpu_caps_window", false, R"({"partial_window_s":10.0})", 4, 1, 6.0, 20.0},
    {"cpu_keeps_small_window", false, R"({"partial_window_s":5.0})", 4, 1, 5.0, 20.0},
    {"gpu_keeps_beam_and_window", true, R"({"beam_size":5,"partial_window_s":10.0})", 4, 5, 10.0, 30.0},
};

class ConfigureLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ConfigureLimits, ReadyAndLibraryCallsCarryTheClampedValues) {
    const LimitCase& c = GetParam();
    ScriptedHost host = start_scripted(c.gpu ? gpu_script() : json::object());
    const json ready = configure(host, json::parse(c.extra));

    EXPECT_EQ(ready["beam_size"], c.beam_size);
    EXPECT_TRUE(ready["partial_window_s"].is_number_float());
    EXPECT_EQ(ready["partial_window_s"].get<double>(), c.partial_window_s);
    EXPECT_TRUE(ready["max_buffer_s"].is_number_float());
    EXPECT_EQ(ready["max_buffer_s"].get<double>(), c.max_buffer_s);
    EXPECT_EQ(ready["gpu"], c.gpu);

    const auto warm = warm_ups(host);
    ASSERT_EQ(warm.size(), c.beam_size > 1 ? 2u : 1u);
    EXPECT_EQ(warm[0]["strategy"], 0);
    EXPECT_EQ(warm[0]["n_threads"], c.threads);
    if (c.beam_size > 1) {
        EXPECT_EQ(warm[1]["strategy"], 1);
        EXPECT_EQ(warm[1]["beam_size"], c.beam_size);
        EXPECT_EQ(warm[1]["n_threads"], c.threads);
    }

    const auto vad_init = calls(host, "whisper_vad_init_from_file_with_params");
    ASSERT_EQ(vad_init.size(), 1u);
    EXPECT_EQ(vad_init[0]["n_threads"], 2);
    EXPECT_EQ(vad_init[0]["use_gpu"], false);
    EXPECT_EQ(vad_init[0]["gpu_device"], 0);

    // A flush runs one VAD pass and one final decode, which show the stored settings in use.
    say(host, tone(3, 3200));
    const auto vad = calls(host, "whisper_vad_segments_from_probs");
    ASSERT_EQ(vad.size(), 1u);
    EXPECT_EQ(vad[0]["threshold"], 0.5);
    EXPECT_EQ(vad[0]["min_speech_duration_ms"], 200);
    EXPECT_EQ(vad[0]["min_silence_duration_ms"], c.gpu ? 550 : 300);
    EXPECT_EQ(vad[0]["max_speech_duration_s"], 28.0);
    EXPECT_EQ(vad[0]["speech_pad_ms"], 150);
    EXPECT_EQ(vad[0]["samples_overlap"], 0.1);
    const json final_decode = last_decode(host);
    EXPECT_EQ(final_decode["n_threads"], c.threads);
    EXPECT_EQ(final_decode["strategy"], c.beam_size > 1 ? 1 : 0);
    if (c.beam_size > 1) {
        EXPECT_EQ(final_decode["beam_size"], c.beam_size);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureLimits, ::testing::ValuesIn(LIMIT_CASES), case_name);

// The protocol key is an integer key like the others: fractions truncate, booleans count as
// 0/1, and values beyond 32 bits saturate instead of wrapping around to 1.
struct ProtocolCase {
    const char* name;
    const char* value;
    bool accepted;
};

const ProtocolCase PROTOCOL_CASES[] = {
    {"fraction", "1.9", true},
    {"boolean", "true", true},
    {"two", "2", false},
    {"wraps_to_one_above", "4294967297", false},
    {"wraps_to_one_below", "-4294967295", false},
};

class ConfigureProtocol : public ::testing::TestWithParam<ProtocolCase> {};

TEST_P(ConfigureProtocol, OnlyOneIsAccepted) {
    const ProtocolCase& c = GetParam();
    ScriptedHost host = start_scripted();
    json command = configure_command();
    command["protocol"] = json::parse(c.value);
    const auto lines = send_configure(host, command);
    ASSERT_EQ(lines.size(), 1u);
    if (c.accepted) {
        EXPECT_EQ(parse_event(lines[0])["ev"], "ready");
        return;
    }
    EXPECT_EQ(lines[0], error_line("protocol_mismatch", "host speaks protocol 1", true));
    EXPECT_EQ(wait_exit(host.process, WAIT_MS), 2);
    EXPECT_TRUE(calls(host, "whisper_init_from_file_with_params").empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureProtocol, ::testing::ValuesIn(PROTOCOL_CASES), case_name);

}  // namespace
