// "configure" against the real library: what "ready" reports on the device the host takes, where
// an all-F32 model may run, and how model files that the library cannot load end the host.
#include <whisper.h>

#include <fstream>
#include <functional>

#include "real_session.h"

namespace {

using namespace real;
using nlohmann::json;

constexpr const char* MODEL_LOAD_FAILED =
    R"({"code":"model_load_failed","ev":"error","fatal":true,"message":"could not load speech model"})";

struct Limits {
    int beam_size;
    double partial_window_s;
    double max_buffer_s;
};

struct ReadyCase {
    const char* name;
    json settings;
    Limits cpu;
    Limits gpu;  // where the machine has a GPU and the settings do not ask for the CPU
};

// The host takes the machine's GPU unless the settings ask for the CPU.
bool runs_on_a_gpu(const json& settings) {
    return host_takes_a_gpu() && settings.value("backend", "") != "cpu";
}

TEST_F(RealHost, ReadyDescribesTheLinkedLibraryAndItsDevice) {
    // Without a GPU the host narrows beam search and the partial window and keeps less audio.
    const Limits cpu_caps = {2, 6.0, MAX_BUFFER_S};
    const std::vector<ReadyCase> cases = {
        {"cpu asked, limits above the cpu caps",
         {{"backend", "cpu"}, {"beam_size", 5}, {"partial_window_s", 10.0}},
         cpu_caps,
         cpu_caps},
        {"auto, limits within the cpu caps",
         {{"beam_size", 2}, {"partial_window_s", 5.0}},
         {2, 5.0, MAX_BUFFER_S},
         {2, 5.0, 30.0}},
        {"defaults", json::object(), {1, 6.0, MAX_BUFFER_S}, {1, 10.0, 30.0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool on_gpu = runs_on_a_gpu(c.settings);
        const Limits& limits = on_gpu ? c.gpu : c.cpu;
        HostProcess h = start_real();
        const json ready = configure(h, SYNTHETIC_MODEL, c.settings);
        ASSERT_EQ(ready.value("ev", ""), "ready") << ready.dump();
        EXPECT_EQ(ready["protocol"], 1);
        EXPECT_EQ(ready["version"], whisper_version());
        EXPECT_EQ(ready["model"], "synthetic-whisper.bin");
        EXPECT_EQ(ready["gpu"], on_gpu);
        if (on_gpu) {
            EXPECT_NE(ready["backend"], "cpu");
            EXPECT_NE(ready["backend"], "cpu-fallback");
            EXPECT_NE(ready["gpu_name"], "");
        } else {
            EXPECT_EQ(ready["backend"], "cpu");
            EXPECT_EQ(ready["gpu_name"], "");
        }
        EXPECT_EQ(ready["audio_ctx"], "bounded");
        EXPECT_EQ(ready["beam_size"], limits.beam_size);
        EXPECT_EQ(ready["partial_window_s"], limits.partial_window_s);
        EXPECT_EQ(ready["max_buffer_s"], limits.max_buffer_s);
        ASSERT_TRUE(ready["load_ms"].is_number_integer() && ready["warm_ms"].is_number_integer());
        EXPECT_GE(ready["warm_ms"].get<int64_t>(), 0);
        EXPECT_GE(ready["load_ms"].get<int64_t>(), ready["warm_ms"].get<int64_t>());
        EXPECT_EQ(barrier(h, WAIT_MS), std::vector<std::string>{}) << "nothing follows \"ready\"";
    }
}

struct F32Case {
    const char* name;
    json settings;
};

// whisper.cpp writes all-F32 models and loads them, but this release aborts at their first encode
// on the CPU: there the host refuses them as a failed load and says why in the debug log. On a GPU
// they run like any other model.
TEST_F(RealHost, AllF32ModelRunsOnlyOnAGpu) {
    const std::vector<F32Case> cases = {{"cpu asked", {{"backend", "cpu"}}}, {"default backend", json::object()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostProcess host = start_host(VOICE_HOST_EXE, {}, {{"TELLVANE_VOICE_HOST_DEBUG", "1"}});
        const json answer = configure(host, F32_MODEL, c.settings);
        if (!runs_on_a_gpu(c.settings)) {
            EXPECT_EQ(answer.dump(), MODEL_LOAD_FAILED);
            EXPECT_EQ(wait_exit(host, WAIT_MS), 3);
            EXPECT_NE(read_all_stderr(host, WAIT_MS)
                          .find(std::string(F32_MODEL) + " cannot run on the CPU: its weights are all F32"),
                      std::string::npos);
            continue;
        }
        ASSERT_EQ(answer.value("ev", ""), "ready") << answer.dump();
        EXPECT_EQ(answer["gpu"], true);
        const std::string missing = missing_speech_tools();
        if (!missing.empty()) GTEST_SKIP() << "cannot synthesize speech: " << missing;
        expect_phrase_once(stream_utterance(F32_MODEL, c.settings));
    }
}

std::string write_file(const std::string& name, const std::string& bytes) {
    const std::string path = scratch_path(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

// A model file and what the host says when it cannot load it.
struct ModelCase {
    const char* name;
    bool speech;  // else the VAD model
    std::string good_path;
    std::string first_tensor;
    int status;
    std::string answer;
};

// A damaged copy of a model; "cut" files keep the start of a good one, up to a few bytes into the
// name of its first tensor (the library meets an unknown name) or into that tensor's data (it
// finds too few tensors).
struct Damage {
    const char* name;
    std::function<std::string(const ModelCase&, const std::string& out)> make;
};

std::string cut_past_first_tensor(const ModelCase& model, const std::string& out, size_t past_name_start) {
    const std::string bytes = read_file(model.good_path);
    const size_t at = bytes.find(model.first_tensor);
    if (at == std::string::npos)
        throw std::runtime_error(model.good_path + " has no tensor " + model.first_tensor);
    return write_file(out, bytes.substr(0, at + past_name_start));
}

TEST_F(RealHost, ModelsTheLibraryCannotLoadEndTheHostWithTheirStatus) {
    const std::vector<ModelCase> models = {
        {"speech", true, SYNTHETIC_MODEL, "encoder.positional_embedding", 3, MODEL_LOAD_FAILED},
        {"vad", false, test_vad_model(), "_model.encoder.0.reparam_conv.weight", 4,
         R"({"code":"vad_load_failed","ev":"error","fatal":true,"message":"could not load VAD model"})"},
    };
    const std::vector<Damage> damages = {
        {"missing", [](const ModelCase&, const std::string& out) { return scratch_path(out); }},
        {"empty", [](const ModelCase&, const std::string& out) { return write_file(out, ""); }},
        {"garbage",
         [](const ModelCase&, const std::string& out) { return write_file(out, std::string(4096, 'Z')); }},
        {"cut in a tensor name",
         [](const ModelCase& m, const std::string& out) { return cut_past_first_tensor(m, out, 2); }},
        {"cut in tensor data",
         [](const ModelCase& m, const std::string& out) {
             return cut_past_first_tensor(m, out, m.first_tensor.size() + 100);
         }},
    };
    for (const auto& model : models) {
        for (const auto& damage : damages) {
            SCOPED_TRACE(std::string(model.name) + " model, " + damage.name);
            const std::string bad = damage.make(model, std::string(model.name) + "-" + damage.name + ".bin");
            HostProcess h = start_real();
            send_line(h, model.speech ? configure_line(bad, test_vad_model())
                                      : configure_line(SYNTHETIC_MODEL, bad));
            EXPECT_EQ(wait_exit(h, WAIT_MS), model.status);
            EXPECT_EQ(read_all_stdout(h, WAIT_MS), model.answer + "\n");
        }
    }
}

}  // namespace
