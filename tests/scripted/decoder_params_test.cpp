// The parameters of partial and final decodes as they reach the speech library: audio context
// and token limit by length, search strategy, language and the fixed switches.
#include "scripted_support.h"

#include <gtest/gtest.h>

namespace {

using namespace scripted;

// Audio below the streaming step's VAD gate is decoded once, by the flush.
constexpr size_t VAD_GATE = 4800;

struct Decodes {
    std::vector<json> partial_metrics;
    std::vector<json> final_metrics;
    std::vector<json> calls;
};

// One utterance of level 3: the streaming step's partial decode, then the flush's final one.
Decodes decode_utterance(ScriptedHost& host, size_t samples) {
    send_audio(host, tone(3, samples));
    Decodes out;
    out.partial_metrics = events(sync(host), "metrics");
    out.final_metrics = events(flush(host), "metrics");
    out.calls = decodes(host);
    return out;
}

struct ContextCase {
    const char* name;
    size_t samples;
    const char* audio_ctx;
    int partial_ctx;  // -1: too short for the streaming step
    int final_ctx;
    int max_tokens;
};

const ContextCase CONTEXT_CASES[] = {
    {"shortest_final", 3200, "auto", -1, 768, 48},
    {"below_5_14_s", 82239, "auto", 512, 768, 88},
    {"at_5_14_s", 82240, "auto", 768, 1024, 88},
    {"below_10_s", 159999, "auto", 768, 1024, 120},
    {"at_10_s", 160000, "auto", 768, 1024, 128},
    {"below_10_26_s", 164159, "auto", 768, 1024, 128},
    {"at_10_26_s", 164160, "auto", 1024, 1280, 128},
    {"below_15_38_s", 246079, "auto", 1024, 1280, 168},
    {"at_15_38_s", 246080, "auto", 1280, 0, 168},
    {"at_20_5_s", 328000, "auto", 0, 0, 208},
    {"full_short", 82240, "full", 0, 0, 0},
    {"full_long", 328000, "full", 0, 0, 0},
};

class DecodeAudioCtx : public ::testing::TestWithParam<ContextCase> {};

TEST_P(DecodeAudioCtx, WindowRoundedUpAndTokensBySeconds) {
    const ContextCase& c = GetParam();
    ScriptedHost host = start_scripted(gpu_script());
    configure(host, {{"audio_ctx", c.audio_ctx}});
    const Decodes d = decode_utterance(host, c.samples);

    const bool with_partial = c.samples >= VAD_GATE;
    ASSERT_EQ(d.calls.size(), with_partial ? 2u : 1u);
    ASSERT_EQ(d.partial_metrics.size(), with_partial ? 1u : 0u);
    ASSERT_EQ(d.final_metrics.size(), 1u);
    EXPECT_EQ(d.final_metrics[0]["kind"], "final");
    if (with_partial) {
        EXPECT_EQ(d.partial_metrics[0]["kind"], "partial");
        const json& partial = d.calls.front();
        EXPECT_EQ(partial["n_samples"], c.samples);
        EXPECT_EQ(partial["audio_ctx"], c.partial_ctx);
        EXPECT_EQ(partial["max_tokens"], c.max_tokens);
    }
    const json& final_call = d.calls.back();
    EXPECT_EQ(final_call["n_samples"], c.samples);
    EXPECT_EQ(final_call["audio_ctx"], c.final_ctx);
    EXPECT_EQ(final_call["max_tokens"], c.max_tokens);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeAudioCtx, ::testing::ValuesIn(CONTEXT_CASES), case_name);

struct StrategyCase {
    const char* name;
    bool gpu;
    int beam_size;
    int final_strategy;
    int final_beam;  // beam width when the final decode searches with beams
};

const StrategyCase STRATEGY_CASES[] = {
    {"greedy_with_beam_one", true, 1, 0, 0},
    {"beam_three_on_gpu", true, 3, 1, 3},
    {"beam_three_capped_on_cpu", false, 3, 1, 2},
};

class DecodeStrategy : public ::testing::TestWithParam<StrategyCase> {};

TEST_P(DecodeStrategy, PartialsAlwaysGreedy) {
    const StrategyCase& c = GetParam();
    ScriptedHost host = start_scripted(c.gpu ? gpu_script() : json::object());
    configure(host, {{"beam_size", c.beam_size}});
    const Decodes d = decode_utterance(host, 16000);
    ASSERT_EQ(d.calls.size(), 2u);
    EXPECT_EQ(d.calls[0]["strategy"], 0);
    EXPECT_EQ(d.calls[0]["best_of"], 5);
    EXPECT_EQ(d.calls[1]["strategy"], c.final_strategy);
    if (c.final_strategy == 1) {
        EXPECT_EQ(d.calls[1]["beam_size"], c.final_beam);
    } else {
        EXPECT_EQ(d.calls[1]["best_of"], 5);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeStrategy, ::testing::ValuesIn(STRATEGY_CASES), case_name);

TEST(DecodeParameters, FixedSwitchesOnPartialAndFinal) {
    ScriptedHost host = start_scripted();
    configure(host, {{"threads", 3}});
    const Decodes d = decode_utterance(host, 16000);
    ASSERT_EQ(d.calls.size(), 2u);
    for (const json& call : d.calls) {
        SCOPED_TRACE(call.dump());
        EXPECT_EQ(call["n_threads"], 3);
        EXPECT_EQ(call["no_context"], true);
        EXPECT_EQ(call["translate"], false);
        EXPECT_EQ(call["single_segment"], false);
        EXPECT_EQ(call["no_timestamps"], false);
        EXPECT_EQ(call["suppress_blank"], true);
        EXPECT_EQ(call["print_special"], false);
        EXPECT_EQ(call["print_progress"], false);
        EXPECT_EQ(call["print_realtime"], false);
        EXPECT_EQ(call["print_timestamps"], false);
        EXPECT_EQ(call["temperature"], 0.0);
        EXPECT_EQ(call["offset_ms"], 0);
        EXPECT_EQ(call["duration_ms"], 0);
        EXPECT_EQ(call["vad"], false);
        EXPECT_EQ(call["n_max_text_ctx"], 16384);
        EXPECT_EQ(call["language"], "en");
        EXPECT_EQ(call["initial_prompt"], nullptr);
    }
}

TEST(DecodeRefusal, FlushNeedsAFifthOfASecond) {
    const std::pair<size_t, bool> cases[] = {{3199, false}, {3200, true}};
    for (const auto& [samples, decoded] : cases) {
        ScriptedHost host = start_scripted(json::object(), std::to_string(samples));
        configure(host);
        send_audio(host, tone(3, samples));
        const auto lines = flush(host);
        SCOPED_TRACE(samples);
        EXPECT_EQ(events(lines, "metrics").size(), decoded ? 1u : 0u);
        EXPECT_EQ(events(lines, "final").size(), decoded ? 1u : 0u);
        EXPECT_EQ(decodes(host).size(), decoded ? 1u : 0u);
        EXPECT_EQ(calls(host, "whisper_vad_detect_speech").size(), decoded ? 1u : 0u);
    }
}

TEST(DecodeLanguage, AutoAndEmptyLetTheLibraryDetect) {
    const std::pair<json, json> cases[] = {
        {json(), "en"}, {"auto", nullptr}, {"", nullptr}, {"EN", "EN"}, {"Auto", "Auto"}, {"de", "de"},
    };
    int row = 0;
    for (const auto& [language, logged] : cases) {
        ScriptedHost host = start_scripted(json::object(), std::to_string(row++));
        configure(host, language.is_null() ? json::object() : json{{"language", language}});
        say(host, tone(3, 3200));
        SCOPED_TRACE(language.dump());
        EXPECT_EQ(warm_ups(host).at(0)["language"], logged);
        EXPECT_EQ(last_decode(host)["language"], logged);
    }
}

}  // namespace
