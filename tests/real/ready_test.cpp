// "configure" against the real library: what "ready" reports on the CPU, and how model files
// that the library cannot load end the host.
#include <whisper.h>

#include <fstream>
#include <functional>

#include "real_session.h"

namespace {

using namespace real;
using nlohmann::json;

struct ReadyCase {
    const char* name;
    json settings;
    int beam_size;
    double partial_window_s;
};

TEST_F(RealHost, ReadyDescribesTheLinkedLibraryOnTheCpu) {
    // Without a GPU the host narrows beam search and the partial window; "auto" finds no GPU here.
    const std::vector<ReadyCase> cases = {
        {"cpu asked, limits above the cpu caps",
         {{"backend", "cpu"}, {"beam_size", 5}, {"partial_window_s", 10.0}},
         2,
         6.0},
        {"auto, limits within the cpu caps", {{"beam_size", 2}, {"partial_window_s", 5.0}}, 2, 5.0},
        {"defaults", json::object(), 1, 6.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostProcess h = start_real();
        const json ready = configure(h, SYNTHETIC_MODEL, c.settings);
        ASSERT_EQ(ready.value("ev", ""), "ready") << ready.dump();
        EXPECT_EQ(ready["protocol"], 1);
        EXPECT_EQ(ready["version"], whisper_version());
        EXPECT_EQ(ready["model"], "synthetic-whisper.bin");
        EXPECT_EQ(ready["backend"], "cpu");
        EXPECT_EQ(ready["gpu"], false);
        EXPECT_EQ(ready["gpu_name"], "");
        EXPECT_EQ(ready["audio_ctx"], "bounded");
        EXPECT_EQ(ready["beam_size"], c.beam_size);
        EXPECT_EQ(ready["partial_window_s"], c.partial_window_s);
        EXPECT_EQ(ready["max_buffer_s"], MAX_BUFFER_S);
        ASSERT_TRUE(ready["load_ms"].is_number_integer() && ready["warm_ms"].is_number_integer());
        EXPECT_GE(ready["warm_ms"].get<int64_t>(), 0);
        EXPECT_GE(ready["load_ms"].get<int64_t>(), ready["warm_ms"].get<int64_t>());
        EXPECT_EQ(barrier(h, WAIT_MS), std::vector<std::string>{}) << "nothing follows \"ready\"";
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
        {"speech", true, SYNTHETIC_MODEL, "encoder.positional_embedding", 3,
         R"({"code":"model_load_failed","ev":"error","fatal":true,"message":"could not load speech model"})"},
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
