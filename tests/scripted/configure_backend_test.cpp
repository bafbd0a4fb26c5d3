// GPU discovery, the CPU retry, the fatal load failures, the roads an all-F32 model may take,
// the audio-context mode and the "ready" event that reports all of it.
#include "scripted_support.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using namespace scripted;

struct Attempt {
    bool use_gpu;
    bool ok;
};

constexpr const char* DEFAULT_MODEL = "models/base.bin";

std::vector<Attempt> load_attempts(const ScriptedHost& host, const char* path) {
    std::vector<Attempt> out;
    for (const auto& call : calls(host, "whisper_init_from_file_with_params")) {
        EXPECT_EQ(call["path"], path);
        out.push_back({call["use_gpu"].get<bool>(), call["ok"].get<bool>()});
    }
    return out;
}

void expect_attempts(const ScriptedHost& host, const std::vector<Attempt>& expected,
                     const char* path = DEFAULT_MODEL) {
    const auto actual = load_attempts(host, path);
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(actual[i].use_gpu, expected[i].use_gpu) << "attempt " << i;
        EXPECT_EQ(actual[i].ok, expected[i].ok) << "attempt " << i;
    }
}

json with_backend(const char* backend) {
    return backend != nullptr ? json{{"backend", backend}} : json::object();
}

constexpr const char* ONE_GPU = R"({"devices":[{"type":0,"description":"CPU","reg":"CPU"},
                                               {"type":1,"description":"Apple M2","reg":"MTL"}]})";
constexpr const char* CPU_ONLY = R"({"devices":[{"type":0,"description":"CPU","reg":"CPU"}]})";
constexpr const char* ACCELERATOR_ONLY = R"({"devices":[{"type":0,"description":"CPU","reg":"CPU"},
                                                        {"type":3,"description":"Accelerate","reg":"BLAS"}]})";
constexpr const char* GPU_LOAD_FAILS = R"({"devices":[{"type":1,"description":"Apple M2","reg":"MTL"}],
                                          "model_load":{"gpu":"fail","cpu":"ok"}})";

struct BackendCase {
    const char* name;
    const char* script;
    const char* backend;  // nullptr: key absent
    const char* label;
    bool gpu;
    const char* gpu_name;
    std::vector<Attempt> attempts;
    double max_buffer_s;
};

const BackendCase BACKEND_CASES[] = {
    {"cpu_refuses_present_gpu", ONE_GPU, "cpu", "cpu", false, "", {{false, true}}, 20.0},
    {"capital_cpu_asks_for_gpu", ONE_GPU, "CPU", "mtl", true, "Apple M2", {{true, true}}, 30.0},
    {"gpu_word_asks_for_gpu", ONE_GPU, "gpu", "mtl", true, "Apple M2", {{true, true}}, 30.0},
    {"accelerator_is_no_gpu", ACCELERATOR_ONLY, nullptr, "cpu", false, "", {{true, true}}, 20.0},
    {"first_gpu_type_device_wins",
     R"({"devices":[{"type":0,"description":"CPU","reg":"CPU"},{"type":3,"description":"Accelerate","reg":"BLAS"},
                    {"type":2,"description":"Iris Xe","reg":"Vulkan"},{"type":1,"description":"Radeon","reg":"CUDA"}]})",
     nullptr, "vulkan", true, "Iris Xe", {{true, true}}, 30.0},
    {"discrete_gpu_before_integrated",
     R"({"devices":[{"type":3,"description":"Accelerate","reg":"BLAS"},{"type":1,"description":"Radeon Pro","reg":"MTL"},
                    {"type":2,"description":"Iris Xe","reg":"Vulkan"}]})",
     nullptr, "mtl", true, "Radeon Pro", {{true, true}}, 30.0},
    {"registry_name_lower_cased", R"({"devices":[{"type":1,"description":"GPU 9","reg":"MixedCase_GPU9"}]})",
     nullptr, "mixedcase_gpu9", true, "GPU 9", {{true, true}}, 30.0},
    {"null_description", R"({"devices":[{"type":1,"description":null,"reg":"MTL"}]})", nullptr, "mtl", true, "",
     {{true, true}}, 30.0},
    {"null_registry_name", R"({"devices":[{"type":1,"description":"GPU","reg":null}]})", nullptr, "", true, "GPU",
     {{true, true}}, 30.0},
    {"empty_device_list", R"({"devices":[]})", nullptr, "cpu", false, "", {{true, true}}, 20.0},
    {"gpu_load_fails_cpu_retry_loads", GPU_LOAD_FAILS, nullptr, "cpu-fallback", false, "",
     {{true, false}, {false, true}}, 20.0},
};

class ConfigureBackend : public ::testing::TestWithParam<BackendCase> {};

TEST_P(ConfigureBackend, ReadyReportsWhatDiscoveryFound) {
    const BackendCase& c = GetParam();
    ScriptedHost host = start_scripted(json::parse(c.script));
    const json ready = configure(host, with_backend(c.backend));
    EXPECT_EQ(ready["backend"], c.label);
    EXPECT_EQ(ready["gpu"], c.gpu);
    EXPECT_EQ(ready["gpu_name"], c.gpu_name);
    EXPECT_EQ(ready["max_buffer_s"].get<double>(), c.max_buffer_s);
    expect_attempts(host, c.attempts);
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureBackend, ::testing::ValuesIn(BACKEND_CASES), case_name);

struct LoadFailureCase {
    const char* name;
    const char* script;
    const char* backend;
    const char* code;
    const char* message;
    int status;
    std::vector<Attempt> attempts;
};

const LoadFailureCase LOAD_FAILURE_CASES[] = {
    {"speech_model_fails_on_gpu_and_cpu", R"({"model_load":{"gpu":"fail","cpu":"fail"}})", nullptr,
     "model_load_failed", "could not load speech model", 3, {{true, false}, {false, false}}},
    {"speech_model_fails_on_cpu_request", R"({"model_load":{"cpu":"fail"}})", "cpu", "model_load_failed",
     "could not load speech model", 3, {{false, false}}},
    {"vad_model_fails", R"({"vad_load":"fail"})", nullptr, "vad_load_failed", "could not load VAD model", 4,
     {{true, true}}},
};

class ConfigureLoadFailure : public ::testing::TestWithParam<LoadFailureCase> {};

TEST_P(ConfigureLoadFailure, OneFatalErrorThenExit) {
    const LoadFailureCase& c = GetParam();
    ScriptedHost host = start_scripted(json::parse(c.script));
    const auto lines = send_configure(host, configure_command(with_backend(c.backend)));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], error_line(c.code, c.message, true));
    EXPECT_EQ(wait_exit(host.process, WAIT_MS), c.status);
    EXPECT_EQ(read_all_stdout(host.process, WAIT_MS), "");
    expect_attempts(host, c.attempts);
    EXPECT_TRUE(calls(host, "whisper_full").empty());
    const auto vad_init = calls(host, "whisper_vad_init_from_file_with_params");
    EXPECT_EQ(vad_init.size(), c.status == 4 ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureLoadFailure, ::testing::ValuesIn(LOAD_FAILURE_CASES), case_name);

// The host reads the model files' layout even against the scripted library, so these rows load
// real files: the all-F32 one, which would abort at its first encode on the CPU, and its F16
// twin, which runs anywhere.
struct ModelRoadCase {
    const char* name;
    const char* model;
    const char* script;
    const char* backend;
    std::vector<Attempt> attempts;
    const char* label;  // nullptr: refused as a failed load
    bool gpu;
};

const ModelRoadCase MODEL_ROAD_CASES[] = {
    {"f32_on_a_listed_gpu", F32_MODEL, ONE_GPU, nullptr, {{true, true}}, "mtl", true},
    {"f32_on_an_integrated_gpu", F32_MODEL,
     R"({"devices":[{"type":0,"description":"CPU","reg":"CPU"},{"type":2,"description":"Iris Xe","reg":"Vulkan"}]})",
     nullptr, {{true, true}}, "vulkan", true},
    {"f32_with_cpu_backend", F32_MODEL, ONE_GPU, "cpu", {}, nullptr, false},
    {"f32_with_cpu_device_only", F32_MODEL, CPU_ONLY, nullptr, {}, nullptr, false},
    {"f32_with_accelerator_only", F32_MODEL, ACCELERATOR_ONLY, nullptr, {}, nullptr, false},
    {"f32_with_empty_device_list", F32_MODEL, R"({"devices":[]})", nullptr, {}, nullptr, false},
    {"f32_gpu_load_fails_no_cpu_retry", F32_MODEL, GPU_LOAD_FAILS, nullptr, {{true, false}}, nullptr, false},
    {"f16_with_cpu_backend", SYNTHETIC_MODEL, ONE_GPU, "cpu", {{false, true}}, "cpu", false},
    {"f16_with_cpu_device_only", SYNTHETIC_MODEL, CPU_ONLY, nullptr, {{true, true}}, "cpu", false},
    {"f16_gpu_load_fails_cpu_retry", SYNTHETIC_MODEL, GPU_LOAD_FAILS, nullptr, {{true, false}, {false, true}},
     "cpu-fallback", false},
};

class ConfigureModelRoad : public ::testing::TestWithParam<ModelRoadCase> {};

TEST_P(ConfigureModelRoad, AllF32LoadsOnlyWhereAGpuTakesIt) {
    const ModelRoadCase& c = GetParam();
    ScriptedHost host = start_scripted(json::parse(c.script));
    json extra = with_backend(c.backend);
    extra["model"] = c.model;
    const auto lines = send_configure(host, configure_command(extra));
    ASSERT_EQ(lines.size(), 1u);
    if (c.label != nullptr) {
        const json ready = parse_event(lines[0]);
        EXPECT_EQ(ready["ev"], "ready");
        EXPECT_EQ(ready["backend"], c.label);
        EXPECT_EQ(ready["gpu"], c.gpu);
        EXPECT_EQ(warm_ups(host).size(), 1u);
    } else {
        EXPECT_EQ(lines[0], error_line("model_load_failed", "could not load speech model", true));
        EXPECT_EQ(wait_exit(host.process, WAIT_MS), 3);
        EXPECT_TRUE(calls(host, "whisper_vad_init_from_file_with_params").empty());
    }
    expect_attempts(host, c.attempts, c.model);
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureModelRoad, ::testing::ValuesIn(MODEL_ROAD_CASES), case_name);

struct AudioCtxCase {
    const char* name;
    const char* script;
    const char* extra;
    const char* reported;
    int greedy_warm_ctx;
    int beam_warm_ctx;
};

constexpr const char* METAL = R"({"devices":[{"type":1,"description":"Apple M2","reg":"Metal"}]})";

// Every row asks for beam 2, which the CPU keeps, so both warm-up decodes show the context.
const AudioCtxCase AUDIO_CTX_CASES[] = {
    {"capitalised_bounded_is_auto", METAL, R"({"audio_ctx":"Bounded"})", "full", 0, 0},
    {"unknown_mode_is_auto", METAL, R"({"audio_ctx":"none"})", "full", 0, 0},
    {"bounded_wins_over_metal", METAL, R"({"audio_ctx":"bounded"})", "bounded", 512, 768},
    {"full_without_gpu", "{}", R"({"audio_ctx":"full"})", "full", 0, 0},
    {"auto_without_gpu", "{}", "{}", "bounded", 512, 768},
    {"auto_on_mtl", ONE_GPU, R"({"audio_ctx":"auto"})", "bounded", 512, 768},
    {"auto_on_metal", METAL, "{}", "full", 0, 0},
    {"auto_on_upper_case_metal", R"({"devices":[{"type":1,"description":"Apple M2","reg":"METAL"}]})", "{}",
     "full", 0, 0},
    {"auto_on_metal_refused", METAL, R"({"backend":"cpu"})", "bounded", 512, 768},
    {"auto_on_metal_after_cpu_retry",
     R"({"devices":[{"type":1,"description":"Apple M2","reg":"Metal"}],"model_load":{"gpu":"fail"}})", "{}",
     "bounded", 512, 768},
};

class ConfigureAudioCtx : public ::testing::TestWithParam<AudioCtxCase> {};

TEST_P(ConfigureAudioCtx, ReadyAndWarmUpAgree) {
    const AudioCtxCase& c = GetParam();
    ScriptedHost host = start_scripted(json::parse(c.script));
    json extra = json::parse(c.extra);
    extra["beam_size"] = 2;
    const json ready = configure(host, extra);
    EXPECT_EQ(ready["audio_ctx"], c.reported);
    const auto warm = warm_ups(host);
    ASSERT_EQ(warm.size(), 2u);
    EXPECT_EQ(warm[0]["audio_ctx"], c.greedy_warm_ctx);
    EXPECT_EQ(warm[1]["audio_ctx"], c.beam_warm_ctx);
}

INSTANTIATE_TEST_SUITE_P(Table, ConfigureAudioCtx, ::testing::ValuesIn(AUDIO_CTX_CASES), case_name);

TEST(ConfigureModelName, FileNameAfterTheLastSlashOrBackslash) {
    const std::pair<const char*, const char*> cases[] = {
        {"models/base.bin", "base.bin"}, {"D:\\m\\base.bin", "base.bin"}, {"a\\b/c.bin", "c.bin"},
        {"a/b\\c.bin", "c.bin"},         {"base.bin", "base.bin"},       {"models/", ""},
    };
    int row = 0;
    for (const auto& [path, name] : cases) {
        ScriptedHost host = start_scripted(json::object(), std::to_string(row++));
        EXPECT_EQ(configure(host, {{"model", path}})["model"], name) << path;
        const auto init = calls(host, "whisper_init_from_file_with_params");
        ASSERT_EQ(init.size(), 1u);
        EXPECT_EQ(init[0]["path"], path);
    }
}

// The two durations are the only values a test cannot know; everything else is fixed text.
std::string without_durations(const std::string& line) {
    return std::regex_replace(line, std::regex(R"re("(load_ms|warm_ms)":[0-9]+)re"), "\"$1\":0");
}

TEST(ConfigureReady, ExactLine) {
    const std::pair<json, std::string> cases[] = {
        {{{"version", "1.9.2-scripted-check"}, {"devices", gpu_devices("MTL", "Apple M2 Max")}},
         R"({"audio_ctx":"bounded","backend":"mtl","beam_size":1,"ev":"ready","gpu":true,)"
         R"("gpu_name":"Apple M2 Max","load_ms":0,"max_buffer_s":30.0,"model":"base.bin",)"
         R"("partial_window_s":10.0,"protocol":1,"version":"1.9.2-scripted-check","warm_ms":0})"},
        {{{"version", "scripted"}},
         R"({"audio_ctx":"bounded","backend":"cpu","beam_size":1,"ev":"ready","gpu":false,)"
         R"("gpu_name":"","load_ms":0,"max_buffer_s":20.0,"model":"base.bin",)"
         R"("partial_window_s":6.0,"protocol":1,"version":"scripted","warm_ms":0})"},
    };
    int row = 0;
    for (const auto& [script, expected] : cases) {
        json slow_warm_up = script;
        slow_warm_up["decode_delay_ms"] = 20;
        ScriptedHost host = start_scripted(slow_warm_up, std::to_string(row++));
        const auto lines = send_configure(host, configure_command());
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(without_durations(lines[0]), expected);
        const json ready = parse_event(lines[0]);
        EXPECT_GE(ready["load_ms"].get<int>(), ready["warm_ms"].get<int>());
    }
}

}  // namespace
