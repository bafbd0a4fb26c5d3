// Pins the scripted library's behaviour that host tests compute their expectations from.
// The library reads its configuration once per process, so one script serves every test here,
// and call-index scripting is checked against call counts kept by this file.

#include "ggml-backend.h"
#include "whisper.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using nlohmann::json;

constexpr int DECODE_FAIL_CALL = 20;
constexpr int VAD_FAIL_CALL = 20;
constexpr int VAD_NULL_CALL = VAD_FAIL_CALL + 1;

struct Setup {
    std::string dir;
    std::string script_path;
    std::string log_path;
    ~Setup() {
        std::remove(script_path.c_str());
        std::remove(log_path.c_str());
        rmdir(dir.c_str());
    }
};

Setup configure() {
    char dir[] = "/tmp/fake_whisper_test.XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    Setup s{dir, std::string(dir) + "/script.json", std::string(dir) + "/calls.log"};
    const json script = {
        {"version", "9.9-test"},
        {"devices",
         {{{"type", 0}, {"description", "CPU"}, {"reg", "CPU"}},
          {{"type", 1}, {"description", nullptr}, {"reg", "CUDA"}},
          {{"type", 2}, {"description", "iGPU"}, {"reg", nullptr}}}},
        {"model_load", {{"gpu", "fail"}}},
        {"fail_paths", {"bad.bin"}},
        {"log_text", "loaded!\n"},
        {"words", {{"3", " three"}, {"5", "hex:48ff49"}, {"7", ""}}},
        {"decode_fail_calls", {DECODE_FAIL_CALL, DECODE_FAIL_CALL + 1}},
        {"vad_fail_calls", {VAD_FAIL_CALL}},
        {"vad_null_calls", {VAD_NULL_CALL}},
        {"vad_pad_cs", 2},
        {"vad_merge_gap_cs", 3},
    };
    std::ofstream(s.script_path) << script.dump();
    setenv("FAKE_WHISPER_SCRIPT", s.script_path.c_str(), 1);
    setenv("FAKE_WHISPER_LOG", s.log_path.c_str(), 1);
    return s;
}

// Must run before the first scripted call of the process.
const Setup SETUP = configure();

int decode_calls = 0;
int vad_detect_calls = 0;
int vad_segment_calls = 0;

using Chunks = std::vector<std::pair<int, int16_t>>;  // (sample count, constant int16 value)

std::vector<float> audio(const Chunks& chunks) {
    std::vector<float> out;
    for (const auto& [n, value] : chunks) out.insert(out.end(), n, value / 32768.0f);
    return out;
}

// Runs [5,8) of level 3 (its first frame loud in one sample only) and [10,15) of level 5 (a
// quieter first frame, negative samples, a partial last frame), split by sub-threshold noise.
const Chunks TWO_RUNS = {{800, 0}, {159, 0}, {1, 3000}, {320, 3000}, {320, 300}, {160, 4000}, {480, -5000}, {80, 5000}};

struct Seg {
    int64_t t0;
    int64_t t1;
    std::string text;
    bool operator==(const Seg& o) const { return t0 == o.t0 && t1 == o.t1 && text == o.text; }
};

void PrintTo(const Seg& s, std::ostream* os) { *os << "[" << s.t0 << "," << s.t1 << ") \"" << s.text << "\""; }

whisper_context* load_model() {
    auto cparams = whisper_context_default_params();
    cparams.use_gpu = false;
    return whisper_init_from_file_with_params("model.bin", cparams);
}

int decode(whisper_context* ctx, const std::vector<float>& pcm, whisper_full_params params) {
    ++decode_calls;
    return whisper_full(ctx, params, pcm.data(), static_cast<int>(pcm.size()));
}

int decode(whisper_context* ctx, const std::vector<float>& pcm) {
    return decode(ctx, pcm, whisper_full_default_params(WHISPER_SAMPLING_GREEDY));
}

std::vector<Seg> segments(whisper_context* ctx) {
    std::vector<Seg> out;
    for (int i = 0; i < whisper_full_n_segments(ctx); ++i)
        out.push_back({whisper_full_get_segment_t0(ctx, i), whisper_full_get_segment_t1(ctx, i),
                       whisper_full_get_segment_text(ctx, i)});
    return out;
}

std::vector<std::pair<float, float>> vad(whisper_vad_context* vctx, const std::vector<float>& pcm) {
    ++vad_detect_calls;
    ++vad_segment_calls;
    EXPECT_TRUE(whisper_vad_detect_speech(vctx, pcm.data(), static_cast<int>(pcm.size())));
    auto* segs = whisper_vad_segments_from_probs(vctx, whisper_vad_default_params());
    std::vector<std::pair<float, float>> out;
    for (int i = 0; i < whisper_vad_segments_n_segments(segs); ++i)
        out.emplace_back(whisper_vad_segments_get_segment_t0(segs, i), whisper_vad_segments_get_segment_t1(segs, i));
    whisper_vad_free_segments(segs);
    return out;
}

std::vector<json> log_lines(const std::string& fn) {
    std::vector<json> out;
    std::ifstream in(SETUP.log_path);
    for (std::string line; std::getline(in, line);) {
        auto j = json::parse(line);
        if (j["fn"] == fn) out.push_back(j);
    }
    return out;
}

TEST(FakeWhisper, DecodesLoudRunsIntoScriptedWords) {
    const struct {
        const char* name;
        Chunks pcm;
        std::vector<Seg> want;
    } cases[] = {
        {"two runs", TWO_RUNS, {{5, 8, " three"}, {10, 15, "H\xffI"}}},
        {"silence and noise below threshold", {{1600, 0}, {160, 327}, {160, -327}}, {}},
        {"threshold peak is loud at level 0", {{160, 0}, {160, 328}}, {{1, 2, " w0"}}},
        {"unmapped level", {{320, 2000}}, {{0, 2, " w2"}}},
        {"empty word", {{10, 7000}}, {{0, 1, ""}}},
        {"levels touching form one run", {{160, 3000}, {160, 5000}, {160, 0}}, {{0, 2, "H\xffI"}}},
        {"empty buffer", {}, {}},
    };
    auto* ctx = load_model();
    ASSERT_NE(ctx, nullptr);
    for (const auto& c : cases) {
        EXPECT_EQ(decode(ctx, audio(c.pcm)), 0) << c.name;
        EXPECT_EQ(segments(ctx), c.want) << c.name;
    }
    whisper_free(ctx);
}

TEST(FakeWhisper, ScriptedDecodeFailuresAndAbortDropSegments) {
    auto* ctx = load_model();
    ASSERT_NE(ctx, nullptr);
    ASSERT_LE(decode_calls, DECODE_FAIL_CALL - 2);
    while (decode_calls < DECODE_FAIL_CALL - 2) decode(ctx, {});
    const auto pcm = audio(TWO_RUNS);
    ASSERT_EQ(decode(ctx, pcm), 0);
    ASSERT_EQ(segments(ctx).size(), 2u);
    EXPECT_EQ(decode(ctx, pcm), -1);
    EXPECT_EQ(whisper_full_n_segments(ctx), 0);
    EXPECT_EQ(decode(ctx, pcm), -1);
    EXPECT_EQ(decode(ctx, pcm), 0);
    EXPECT_EQ(whisper_full_n_segments(ctx), 2);

    auto params = whisper_full_default_params(WHISPER_SAMPLING_GREEDY);
    params.abort_callback = [](void*) { return true; };
    EXPECT_EQ(decode(ctx, pcm, params), -6);
    EXPECT_EQ(whisper_full_n_segments(ctx), 0);
    whisper_free(ctx);

    const auto logged = log_lines("whisper_full");
    ASSERT_FALSE(logged.empty());
    const auto& last = logged.back();
    std::set<std::string> keys;
    for (const auto& item : last.items()) keys.insert(item.key());
    const std::set<std::string> want_keys = {
        "fn", "strategy", "n_samples", "n_threads", "no_context", "translate", "single_segment", "no_timestamps",
        "suppress_blank", "print_special", "print_progress", "print_realtime", "print_timestamps", "language",
        "initial_prompt", "audio_ctx", "max_tokens", "beam_size", "best_of", "temperature", "offset_ms",
        "duration_ms", "vad", "n_max_text_ctx", "ret"};
    EXPECT_EQ(keys, want_keys);
    EXPECT_EQ(last["n_samples"], pcm.size());
    EXPECT_EQ(last["ret"], -6);
    EXPECT_EQ(last["language"], "en");
    EXPECT_EQ(last["initial_prompt"], nullptr);
    EXPECT_EQ(last["best_of"], 5);
    EXPECT_EQ(last["beam_size"], -1);
}

TEST(FakeWhisper, VadSegmentsArePaddedAndMergedLoudRuns) {
    const struct {
        const char* name;
        Chunks pcm;
        std::vector<std::pair<float, float>> want;
    } cases[] = {
        {"gap below merge gap merges, padding clamps to the buffer", TWO_RUNS, {{3, 15}}},
        {"padded neighbours touching stay apart", {{320, 3000}, {640, 0}, {320, 3000}, {320, 0}}, {{0, 4}, {4, 10}}},
        {"overlapping padding meets mid-gap", {{320, 3000}, {480, 0}, {320, 3000}, {320, 0}}, {{0, 3.5f}, {3.5f, 9}}},
        {"silence", {{1000, 0}}, {}},
    };
    auto* vctx = whisper_vad_init_from_file_with_params("vad.bin", whisper_vad_default_context_params());
    ASSERT_NE(vctx, nullptr);
    for (const auto& c : cases) EXPECT_EQ(vad(vctx, audio(c.pcm)), c.want) << c.name;

    ASSERT_LT(vad_detect_calls, VAD_FAIL_CALL);
    const auto pcm = audio(TWO_RUNS);
    while (vad_detect_calls < VAD_FAIL_CALL - 1) vad(vctx, pcm);
    ASSERT_EQ(vad_segment_calls, VAD_NULL_CALL - 2);
    EXPECT_FALSE(whisper_vad_detect_speech(vctx, pcm.data(), static_cast<int>(pcm.size())));
    auto* segs = whisper_vad_segments_from_probs(vctx, whisper_vad_default_params());
    ASSERT_NE(segs, nullptr);
    EXPECT_EQ(whisper_vad_segments_n_segments(segs), 0) << "a failed detection leaves no speech";
    whisper_vad_free_segments(segs);
    EXPECT_EQ(whisper_vad_segments_from_probs(vctx, whisper_vad_default_params()), nullptr);
    vad_detect_calls += 1;
    vad_segment_calls += 2;
    whisper_vad_free(vctx);

    const auto logged = log_lines("whisper_vad_segments_from_probs");
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged.back()["n_segments"], nullptr);
    EXPECT_EQ(logged.back()["threshold"], 0.5);
    EXPECT_EQ(logged.back()["samples_overlap"], 0.1);
}

TEST(FakeWhisper, ReportsScriptedDevicesAndVersion) {
    struct Want {
        int type;
        const char* description;
        const char* reg;
    };
    const Want want[] = {{0, "CPU", "CPU"}, {1, nullptr, "CUDA"}, {2, "iGPU", nullptr}};
    ASSERT_EQ(ggml_backend_dev_count(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        auto* dev = ggml_backend_dev_get(i);
        EXPECT_EQ(static_cast<int>(ggml_backend_dev_type(dev)), want[i].type) << i;
        const char* description = ggml_backend_dev_description(dev);
        EXPECT_EQ(description ? std::string(description) : "<null>", want[i].description ? want[i].description : "<null>") << i;
        const char* reg = ggml_backend_reg_name(ggml_backend_dev_backend_reg(dev));
        EXPECT_EQ(reg ? std::string(reg) : "<null>", want[i].reg ? want[i].reg : "<null>") << i;
    }
    EXPECT_STREQ(whisper_version(), "9.9-test");
}

TEST(FakeWhisper, LoadsFollowScriptAndSpeakThroughBothLoggers) {
    static std::string heard;
    whisper_log_set([](ggml_log_level, const char* text, void*) { heard += text; }, nullptr);
    const struct {
        const char* path;
        bool use_gpu;
        bool ok;
    } cases[] = {{"m.bin", true, false}, {"m.bin", false, true}, {"bad.bin", false, false}};
    for (const auto& c : cases) {
        heard.clear();
        auto cparams = whisper_context_default_params();
        cparams.use_gpu = c.use_gpu;
        auto* ctx = whisper_init_from_file_with_params(c.path, cparams);
        EXPECT_EQ(ctx != nullptr, c.ok) << c.path << " gpu=" << c.use_gpu;
        EXPECT_EQ(heard, "loaded!\nloaded!\n");
        const auto logged = log_lines("whisper_init_from_file_with_params");
        ASSERT_FALSE(logged.empty());
        EXPECT_EQ(logged.back(), (json{{"fn", "whisper_init_from_file_with_params"}, {"path", c.path},
                                       {"use_gpu", c.use_gpu}, {"ok", c.ok}}));
        whisper_free(ctx);
    }
    EXPECT_EQ(whisper_vad_init_from_file_with_params("bad.bin", whisper_vad_default_context_params()), nullptr);
    whisper_log_set(nullptr, nullptr);
}

}  // namespace
