// A "configure" with a key of the wrong JSON type is refused as a whole, and a repeated
// "configure" replaces the whole previous one.
#include "scripted_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace scripted;

struct BadKeyCase {
    const char* name;
    const char* key;
    const char* value;
    const char* kind;
};

const BadKeyCase BAD_KEY_CASES[] = {
    {"protocol_null", "protocol", "null", "an integer"},
    {"protocol_string", "protocol", R"("1")", "an integer"},
    {"model_number", "model", "7", "a string"},
    {"vad_model_null", "vad_model", "null", "a string"},
    {"language_number", "language", "5", "a string"},
    {"threads_string", "threads", R"("4")", "an integer"},
    {"threads_array", "threads", "[4]", "an integer"},
    {"idle_exit_s_null", "idle_exit_s", "null", "an integer"},
    {"backend_boolean", "backend", "true", "a string"},
    {"beam_size_string", "beam_size", R"("3")", "an integer"},
    {"partial_window_s_boolean", "partial_window_s", "true", "a number"},
    {"partial_window_s_string", "partial_window_s", R"("8")", "a number"},
    {"prompt_number", "prompt", "12", "a string"},
    {"audio_ctx_null", "audio_ctx", "null", "a string"},
    {"audio_ctx_object", "audio_ctx", R"({"mode":"full"})", "a string"},
};

class ConfigureBadKey : public ::testing::TestWithParam<BadKeyCase> {};

TEST_P(ConfigureBadKey, RefusedWithoutChangingAnything) {
    const BadKeyCase& c = GetParam();
    ScriptedHost host = start_scripted(gpu_script());
    configure(host, {{"prompt", "kept words"}, {"beam_size", 3}});

    // Every other key would change something: the type check has to refuse the command as a whole.
    json bad = configure_command({{"prompt", "other words"}, {"beam_size", 5}});
    bad[c.key] = json::parse(c.value);
    send_line(host.process, bad.dump());
    const auto lines = barrier(host.process, WAIT_MS);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], error_line("bad_command",
                                   std::string("configure key \"") + c.key + "\" must be " + c.kind, false));

    const auto flushed = say(host, tone(3, 3200));
    ASSERT_EQ(events(flushed, "final").size(), 1u);
    const json decode = last_decode(host);
    EXPECT_EQ(decode["strategy"], 1);
    EXPECT_EQ(decode["beam_size"], 3);
    EXPECT_EQ(decode["initial_prompt"], "kept words");
    EXPECT_EQ(calls(host, "whisper_init_from_file_with_params").size(), 1u);
    EXPECT_TRUE(calls(host, "whisper_free").empty());
    EXPECT_TRUE(calls(host, "whisper_vad_free").empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureBadKey, ::testing::ValuesIn(BAD_KEY_CASES), case_name);

TEST(ConfigureBadKey, BeforeAnyConfigureLeavesTheHostUnconfigured) {
    ScriptedHost host = start_scripted();
    json bad = configure_command();
    bad["threads"] = "four";
    send_line(host.process, bad.dump());
    send_line(host.process, audio_command(pcm_base64(tone(3, 3200))));
    const auto lines = barrier(host.process, WAIT_MS);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], error_line("bad_command", "configure key \"threads\" must be an integer", false));
    EXPECT_EQ(lines[1], error_line("bad_state", "audio before configure", false));
    EXPECT_TRUE(calls(host, "whisper_init_from_file_with_params").empty());
}

// The protocol is tested first, then the model paths, then the other keys' types; whatever
// fails first answers, and a refusal that is not fatal leaves the host unconfigured.
struct OrderCase {
    const char* name;
    const char* keys;  // set on a command with both model paths
    bool drop_paths;   // takes both paths out first
    const char* code;
    const char* message;
    int status;          // exit status after a fatal error; -1 while the host goes on
};

const OrderCase ORDER_CASES[] = {
    {"protocol_type_before_everything", R"({"protocol":"1","threads":"x"})", true, "bad_command",
     "configure key \"protocol\" must be an integer", -1},
    {"protocol_mismatch_before_key_types", R"({"protocol":2,"threads":"x","model":7})", false, "protocol_mismatch",
     "host speaks protocol 1", 2},
    {"protocol_mismatch_before_missing_paths", R"({"protocol":2})", true, "protocol_mismatch",
     "host speaks protocol 1", 2},
    {"model_type_before_setting_types", R"({"model":7,"threads":"x"})", false, "bad_command",
     "configure key \"model\" must be a string", -1},
    {"vad_model_type_before_empty_model", R"({"model":"","vad_model":false})", false, "bad_command",
     "configure key \"vad_model\" must be a string", -1},
    {"missing_paths_before_setting_types", R"({"threads":"x","prompt":null})", true, "bad_configure",
     "configure requires model and vad_model paths", 2},
    {"empty_vad_model_before_setting_types", R"({"vad_model":"","beam_size":"3"})", false, "bad_configure",
     "configure requires model and vad_model paths", 2},
    {"setting_type_last", R"({"audio_ctx":1})", false, "bad_command",
     "configure key \"audio_ctx\" must be a string", -1},
};

class ConfigureOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(ConfigureOrder, FirstFailingCheckAnswers) {
    const OrderCase& c = GetParam();
    ScriptedHost host = start_scripted();
    json command = configure_command();
    if (c.drop_paths) {
        command.erase("model");
        command.erase("vad_model");
    }
    command.update(json::parse(c.keys));
    send_line(host.process, command.dump());

    if (c.status >= 0) {
        EXPECT_EQ(read_all_stdout(host.process, WAIT_MS), error_line(c.code, c.message, true) + "\n");
        EXPECT_EQ(wait_exit(host.process, WAIT_MS), c.status);
    } else {
        send_line(host.process, audio_command(pcm_base64(tone(3, 3200))));
        const auto lines = barrier(host.process, WAIT_MS);
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], error_line(c.code, c.message, false));
        EXPECT_EQ(lines[1], error_line("bad_state", "audio before configure", false));
    }
    EXPECT_TRUE(calls(host, "whisper_init_from_file_with_params").empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureOrder, ::testing::ValuesIn(ORDER_CASES), case_name);

struct WarmUpCase {
    const char* name;
    bool gpu;
    const char* extra;
    int threads;
    std::vector<int> beam_sizes;  // one entry per warm-up decode; 0 for the greedy one
    std::vector<int> audio_ctx;
};

const WarmUpCase WARM_UP_CASES[] = {
    {"greedy_only", false, "{}", 4, {0}, {512}},
    {"beam_on_cpu", false, R"({"beam_size":2,"threads":3})", 3, {0, 2}, {512, 768}},
    {"beam_capped_on_cpu", false, R"({"beam_size":6})", 4, {0, 2}, {512, 768}},
    {"beam_on_gpu", true, R"({"beam_size":6})", 4, {0, 6}, {512, 768}},
    {"beam_full_context", true, R"({"beam_size":3,"audio_ctx":"full"})", 4, {0, 3}, {0, 0}},
    {"greedy_full_context", true, R"({"audio_ctx":"full"})", 4, {0}, {0}},
};

class ConfigureWarmUp : public ::testing::TestWithParam<WarmUpCase> {};

TEST_P(ConfigureWarmUp, TwoSecondsOfSilenceWithFourTokens) {
    const WarmUpCase& c = GetParam();
    ScriptedHost host = start_scripted(c.gpu ? gpu_script() : json::object());
    configure(host, json::parse(c.extra));
    const auto warm = warm_ups(host);
    ASSERT_EQ(warm.size(), c.beam_sizes.size());
    for (size_t i = 0; i < warm.size(); ++i) {
        SCOPED_TRACE(warm[i].dump());
        const bool beam = c.beam_sizes[i] > 0;
        EXPECT_EQ(warm[i]["strategy"], beam ? 1 : 0);
        if (beam) {
            EXPECT_EQ(warm[i]["beam_size"], c.beam_sizes[i]);
        }
        EXPECT_EQ(warm[i]["n_samples"], 32000);
        EXPECT_EQ(warm[i]["max_tokens"], 4);
        EXPECT_EQ(warm[i]["audio_ctx"], c.audio_ctx[i]);
        EXPECT_EQ(warm[i]["n_threads"], c.threads);
        EXPECT_EQ(warm[i]["no_context"], true);
        EXPECT_EQ(warm[i]["language"], "en");
        EXPECT_EQ(warm[i]["initial_prompt"], nullptr);
        EXPECT_EQ(warm[i]["suppress_blank"], true);
        EXPECT_EQ(warm[i]["print_progress"], false);
        EXPECT_EQ(warm[i]["print_timestamps"], false);
    }
    EXPECT_TRUE(decodes(host).empty());
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureWarmUp, ::testing::ValuesIn(WARM_UP_CASES), case_name);

TEST(ConfigureWarmUpFailure, ReadyFollowsAnyway) {
    ScriptedHost host = start_scripted({{"decode_fail_calls", {1, 2}}});
    const json ready = configure(host, {{"beam_size", 2}});
    EXPECT_EQ(ready["beam_size"], 2);
    const auto warm = warm_ups(host);
    ASSERT_EQ(warm.size(), 2u);
    EXPECT_EQ(warm[0]["ret"], -1);
    EXPECT_EQ(warm[1]["ret"], -1);
    EXPECT_EQ(events(say(host, tone(3, 3200)), "final").size(), 1u);
}

TEST(ConfigureRepeated, RestartsTheStreamAndReplacesEverySetting) {
    ScriptedHost host = start_scripted(gpu_script());
    configure(host, {{"beam_size", 4}, {"prompt", "first"}, {"language", "de"}});

    const auto first = events(say(host, tone({{0, 16000}, {3, 3200}})), "final");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0]["segment"], 1);
    EXPECT_EQ(first[0]["text"], "w3");
    EXPECT_EQ(first[0]["from_ms"], 1000);

    // Buffered audio that the next configure must drop without a word.
    send_audio(host, tone(5, 3200));
    EXPECT_TRUE(barrier(host.process, WAIT_MS).empty());
    const auto lines = send_configure(host, configure_command({{"prompt", "second"}}));
    ASSERT_EQ(lines.size(), 1u) << "the dropped audio must not show up in any event";
    const json ready = parse_event(lines[0]);
    EXPECT_EQ(ready["ev"], "ready");
    EXPECT_EQ(ready["beam_size"], 1);

    // Models are freed before they are loaded again.
    const std::vector<std::string> model_calls = {"whisper_init_from_file_with_params", "whisper_free",
                                                  "whisper_vad_init_from_file_with_params", "whisper_vad_free"};
    std::vector<std::string> sequence;
    for (const auto& entry : read_log(host.log_path)) {
        const std::string fn = entry["fn"];
        if (std::find(model_calls.begin(), model_calls.end(), fn) != model_calls.end()) sequence.push_back(fn);
    }
    const std::vector<std::string> expected_sequence = {
        "whisper_init_from_file_with_params", "whisper_vad_init_from_file_with_params", "whisper_free",
        "whisper_vad_free", "whisper_init_from_file_with_params", "whisper_vad_init_from_file_with_params"};
    EXPECT_EQ(sequence, expected_sequence);

    // The warm-up still sees the old stream's context; the stream after it starts afresh.
    const auto warm = warm_ups(host);
    ASSERT_EQ(warm.size(), 3u);
    EXPECT_EQ(warm[2]["initial_prompt"], "second w3");
    EXPECT_EQ(warm[2]["language"], "en");

    const auto second = events(say(host, tone(6, 3200)), "final");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0]["segment"], 1);
    EXPECT_EQ(second[0]["text"], "w6");
    EXPECT_EQ(second[0]["from_ms"], 0);
    EXPECT_EQ(second[0]["to_ms"], 200);
    const json decode = last_decode(host);
    EXPECT_EQ(decode["n_samples"], 3200);
    EXPECT_EQ(decode["strategy"], 0);
    EXPECT_EQ(decode["initial_prompt"], "second");
    EXPECT_EQ(decode["language"], "en");

    // Omitting the prompt clears it; the context went with the stream.
    configure(host);
    EXPECT_EQ(warm_ups(host).back()["initial_prompt"], "w6");
    say(host, tone(2, 3200));
    EXPECT_EQ(last_decode(host)["initial_prompt"], nullptr);
}

}  // namespace
