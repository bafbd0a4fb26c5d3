// Damaged and unusual model files given to the real host. whisper.cpp 1.9.1 aborts on many
// damaged files instead of failing the load; the host must turn every one into its fatal load
// error and exit status, and must still take every file the library loads correctly.
#include "host_driver.h"
#include "model_layout.h"
#include "test_vad_model.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr int WAIT_MS = 120000;
constexpr int32_t INT32_TOP = std::numeric_limits<int32_t>::max();

constexpr const char* MODEL_LOAD_FAILED =
    R"({"code":"model_load_failed","ev":"error","fatal":true,"message":"could not load speech model"})";
constexpr const char* VAD_LOAD_FAILED =
    R"({"code":"vad_load_failed","ev":"error","fatal":true,"message":"could not load VAD model"})";

constexpr WeightFormat F16{1, 1, 1, 2};
constexpr WeightFormat Q5_0{8, 6, 32, 22};
constexpr WeightFormat Q5_1{9, 7, 32, 24};
constexpr WeightFormat Q4_K{12, 12, 256, 144};
constexpr WeightFormat BF16{24, 30, 1, 2};
constexpr WeightFormat MXFP4{25, 39, 32, 17};

// The synthetic model's shape, the tiny model's, and the vocabularies of multilingual models.
constexpr WhisperShape SYNTHETIC_SHAPE{};
constexpr WhisperShape TINY_SHAPE{51864, 1500, 384, 6, 4, 448, 80};
constexpr WhisperShape MULTILINGUAL_SHAPE{51865, 1500, 64, 1, 1, 448, 80};
constexpr WhisperShape LARGE_V3_VOCABULARY_SHAPE{51866, 1500, 64, 1, 1, 448, 128};

WeightFormat with_version(WeightFormat w, int32_t version) {
    w.ftype += 1000 * version;
    return w;
}

std::string work_file(const std::string& name) {
    std::string dir = std::string(TEST_WORK_DIR) + "/model-files";
    mkdir(dir.c_str(), 0755);
    return dir + "/" + name + ".bin";
}

struct Outcome {
    std::string first_line;
    std::string rest;
    int status = -1;
};

// The default backend, so a damaged speech model meets the GPU attempt and the CPU retry.
Outcome configure_host(const std::string& model, const std::string& vad) {
    HostProcess host = start_host(VOICE_HOST_EXE, {}, {}, {"TELLVANE_VOICE_HOST_DEBUG"});
    // One decoding thread: many of these hosts warm up at once under a parallel test run.
    nlohmann::json command = {{"op", "configure"}, {"model", model}, {"vad_model", vad}, {"threads", 1}};
    send_line(host, command.dump());
    Outcome outcome;
    read_line(host, outcome.first_line, WAIT_MS);
    close_input(host);
    outcome.status = wait_exit(host, WAIT_MS);
    outcome.rest = read_all_stdout(host, WAIT_MS);
    return outcome;
}

void expect_refused(const Outcome& outcome, const char* line, int status) {
    EXPECT_EQ(outcome.first_line, line);
    EXPECT_EQ(outcome.rest, "");
    EXPECT_EQ(outcome.status, status) << (outcome.status > 128 ? "killed by a signal" : "");
}

void expect_ready(const Outcome& outcome) {
    ASSERT_FALSE(outcome.first_line.empty()) << "no event; exit status " << outcome.status;
    EXPECT_EQ(parse_event(outcome.first_line).value("ev", ""), "ready") << outcome.first_line;
    EXPECT_EQ(outcome.status, 0);
}

#define REQUIRE_VAD_MODEL()                                                     \
    if (const std::string problem = test_vad_model_problem(); !problem.empty()) { \
        FAIL() << problem;                                                      \
    }

// ---------------------------------------------------------------------------------------
// Speech models.

struct SpeechCase {
    const char* name;
    std::string (*make)(const SpeechLayout& m);
};

std::string header(const SpeechLayout& m, SpeechHparam field, int32_t value) {
    return with_i32(m.bytes, hparam_offset(field), value);
}

std::string first_tensor_field(const SpeechLayout& m, size_t field, int32_t value) {
    return with_i32(m.bytes, m.records.front().offset + 4 * field, value);
}

const SpeechCase DAMAGED_SPEECH[] = {
    {"empty", [](const SpeechLayout&) { return std::string(); }},
    {"garbage", [](const SpeechLayout&) { return pattern_bytes(16384); }},
    {"cut_inside_magic", [](const SpeechLayout& m) { return m.bytes.substr(0, 2); }},
    {"cut_inside_header", [](const SpeechLayout& m) { return m.bytes.substr(0, 20); }},
    {"cut_inside_mel_filters", [](const SpeechLayout& m) { return m.bytes.substr(0, MEL_FILTERS + 1000); }},
    {"cut_inside_vocabulary",
     [](const SpeechLayout& m) { return m.bytes.substr(0, (m.vocab + m.tensors) / 2); }},
    {"cut_at_the_first_tensor", [](const SpeechLayout& m) { return m.bytes.substr(0, m.tensors); }},
    {"cut_inside_the_first_tensor_header",
     [](const SpeechLayout& m) { return m.bytes.substr(0, m.tensors + 6); }},
    {"cut_inside_a_later_tensor_header",
     [](const SpeechLayout& m) { return m.bytes.substr(0, m.records[5].offset + 8); }},
    {"cut_inside_tensor_data",
     [](const SpeechLayout& m) { return m.bytes.substr(0, m.records.front().data_offset + 100); }},
    {"cut_inside_the_last_tensor_data",
     [](const SpeechLayout& m) { return m.bytes.substr(0, m.bytes.size() - 10); }},
    {"ftype_unknown", [](const SpeechLayout& m) { return header(m, FTYPE, 99); }},
    {"ftype_negative", [](const SpeechLayout& m) { return header(m, FTYPE, -1); }},
    {"ftype_withdrawn_q4_1_some_f16", [](const SpeechLayout& m) { return header(m, FTYPE, 4); }},
    {"ftype_unknown_under_a_quantization_version",
     [](const SpeechLayout& m) { return header(m, FTYPE, 1099); }},
    {"ftype_q8_0_over_f16_tensors", [](const SpeechLayout& m) { return header(m, FTYPE, 7); }},
    {"ftype_f32_over_f16_tensors", [](const SpeechLayout& m) { return header(m, FTYPE, 0); }},
    {"ftype_k_quant_on_a_64_wide_state", [](const SpeechLayout& m) { return header(m, FTYPE, 12); }},
    {"audio_heads_not_dividing_the_state", [](const SpeechLayout& m) { return header(m, N_AUDIO_HEAD, 3); }},
    {"audio_heads_above_the_state", [](const SpeechLayout& m) { return header(m, N_AUDIO_HEAD, 128); }},
    {"audio_heads_zero", [](const SpeechLayout& m) { return header(m, N_AUDIO_HEAD, 0); }},
    {"audio_heads_negative", [](const SpeechLayout& m) { return header(m, N_AUDIO_HEAD, -1); }},
    {"text_heads_not_dividing_the_state", [](const SpeechLayout& m) { return header(m, N_TEXT_HEAD, 3); }},
    {"text_heads_zero", [](const SpeechLayout& m) { return header(m, N_TEXT_HEAD, 0); }},
    {"text_state_unlike_audio_state", [](const SpeechLayout& m) { return header(m, N_TEXT_STATE, 128); }},
    {"audio_state_zero", [](const SpeechLayout& m) { return header(m, N_AUDIO_STATE, 0); }},
    {"audio_state_negative", [](const SpeechLayout& m) { return header(m, N_AUDIO_STATE, -64); }},
    {"audio_layers_zero", [](const SpeechLayout& m) { return header(m, N_AUDIO_LAYER, 0); }},
    {"audio_layers_huge", [](const SpeechLayout& m) { return header(m, N_AUDIO_LAYER, 1000000); }},
    {"text_layers_huge", [](const SpeechLayout& m) { return header(m, N_TEXT_LAYER, 1000000); }},
    {"audio_context_huge", [](const SpeechLayout& m) { return header(m, N_AUDIO_CTX, 1 << 30); }},
    {"text_context_huge", [](const SpeechLayout& m) { return header(m, N_TEXT_CTX, 1 << 30); }},
    {"vocabulary_size_huge", [](const SpeechLayout& m) { return header(m, N_VOCAB, 1 << 30); }},
    {"vocabulary_size_negative", [](const SpeechLayout& m) { return header(m, N_VOCAB, -5); }},
    {"mel_count_zero", [](const SpeechLayout& m) { return header(m, N_MELS, 0); }},
    {"mel_count_huge", [](const SpeechLayout& m) { return header(m, N_MELS, 1 << 30); }},
    {"filter_bands_huge", [](const SpeechLayout& m) { return with_i32(m.bytes, MEL_FILTERS, 1 << 20); }},
    {"filter_bands_negative", [](const SpeechLayout& m) { return with_i32(m.bytes, MEL_FILTERS, -80); }},
    {"filter_bands_and_bins_swapped",
     [](const SpeechLayout& m) {
         return with_i32(with_i32(m.bytes, MEL_FILTERS, 201), MEL_FILTERS + 4, 80);
     }},
    {"filter_bins_doubled_bands_halved",
     [](const SpeechLayout& m) {
         return with_i32(with_i32(m.bytes, MEL_FILTERS, 40), MEL_FILTERS + 4, 402);
     }},
    {"vocabulary_count_huge", [](const SpeechLayout& m) { return with_i32(m.bytes, m.vocab, INT32_TOP); }},
    {"token_length_huge", [](const SpeechLayout& m) { return with_u32(m.bytes, m.vocab + 4, 1u << 31); }},
    {"tensor_dims_five", [](const SpeechLayout& m) { return first_tensor_field(m, 0, 5); }},
    {"tensor_dims_hundred", [](const SpeechLayout& m) { return first_tensor_field(m, 0, 100); }},
    {"tensor_dims_negative", [](const SpeechLayout& m) { return first_tensor_field(m, 0, -1); }},
    {"tensor_name_length_huge", [](const SpeechLayout& m) { return first_tensor_field(m, 1, INT32_TOP); }},
    {"tensor_name_length_zero", [](const SpeechLayout& m) { return first_tensor_field(m, 1, 0); }},
    {"tensor_name_length_negative", [](const SpeechLayout& m) { return first_tensor_field(m, 1, -1); }},
    {"tensor_type_unknown", [](const SpeechLayout& m) { return first_tensor_field(m, 2, 99); }},
    {"tensor_type_negative", [](const SpeechLayout& m) { return first_tensor_field(m, 2, -1); }},
    {"tensor_type_withdrawn", [](const SpeechLayout& m) { return first_tensor_field(m, 2, 4); }},
    {"tensor_type_huge", [](const SpeechLayout& m) { return first_tensor_field(m, 2, 1000000); }},
    {"last_tensor_type_unknown",
     [](const SpeechLayout& m) { return with_i32(m.bytes, m.records.back().offset + 8, 99); }},
    {"tensor_dim_zero", [](const SpeechLayout& m) { return first_tensor_field(m, 3, 0); }},
    {"tensor_dim_negative", [](const SpeechLayout& m) { return first_tensor_field(m, 3, -1); }},
    {"tensor_dim_huge", [](const SpeechLayout& m) { return first_tensor_field(m, 3, INT32_TOP); }},
    {"trailing_zero_record", [](const SpeechLayout& m) { return m.bytes + std::string(12, '\0'); }},
    {"trailing_ones", [](const SpeechLayout& m) { return m.bytes + std::string(100, '\x01'); }},
    {"trailing_garbage", [](const SpeechLayout& m) { return m.bytes + pattern_bytes(256); }},
    {"k_quant_weights_on_the_tiny_shape",
     [](const SpeechLayout&) { return zero_whisper_model(TINY_SHAPE, Q4_K); }},
};

// Files whisper.cpp loads and runs: the generated models, shapes and weight types of the real
// model family, and what its loader tolerates by design.
const SpeechCase GOOD_SPEECH[] = {
    {"synthetic_model", [](const SpeechLayout& m) { return m.bytes; }},
    {"silent_synthetic_model", [](const SpeechLayout&) { return read_file(SILENT_MODEL); }},
    {"trailing_four_bytes", [](const SpeechLayout& m) { return m.bytes + std::string(4, '\0'); }},
    {"trailing_eleven_bytes", [](const SpeechLayout& m) { return m.bytes + std::string(11, '\x01'); }},
    {"ftype_under_a_quantization_version", [](const SpeechLayout& m) { return header(m, FTYPE, 2001); }},
    {"one_wide_heads", [](const SpeechLayout& m) { return header(m, N_AUDIO_HEAD, 64); }},
    {"tiny_shape_f16", [](const SpeechLayout&) { return zero_whisper_model(TINY_SHAPE, F16); }},
    {"tiny_shape_q5_1",
     [](const SpeechLayout&) { return zero_whisper_model(TINY_SHAPE, with_version(Q5_1, 1)); }},
    {"multilingual_vocabulary",
     [](const SpeechLayout&) { return zero_whisper_model(MULTILINGUAL_SHAPE, F16); }},
    {"large_v3_vocabulary_and_mels",
     [](const SpeechLayout&) { return zero_whisper_model(LARGE_V3_VOCABULARY_SHAPE, F16); }},
    {"q5_0_weights",
     [](const SpeechLayout&) { return zero_whisper_model(SYNTHETIC_SHAPE, with_version(Q5_0, 2)); }},
    {"bf16_weights", [](const SpeechLayout&) { return zero_whisper_model(SYNTHETIC_SHAPE, BF16); }},
    {"mxfp4_weights", [](const SpeechLayout&) { return zero_whisper_model(SYNTHETIC_SHAPE, MXFP4); }},
};

void PrintTo(const SpeechCase& c, std::ostream* os) { *os << c.name; }

class DamagedSpeechModel : public testing::TestWithParam<SpeechCase> {};
class GoodSpeechModel : public testing::TestWithParam<SpeechCase> {};

TEST_P(DamagedSpeechModel, EndsWithModelLoadFailedAndStatusThree) {
    std::string path = work_file(std::string("speech-") + GetParam().name);
    write_file(path, GetParam().make(synthetic_model()));
    expect_refused(configure_host(path, test_vad_model()), MODEL_LOAD_FAILED, 3);
}

TEST_P(GoodSpeechModel, IsReady) {
    REQUIRE_VAD_MODEL();
    std::string path = work_file(std::string("speech-") + GetParam().name);
    write_file(path, GetParam().make(synthetic_model()));
    expect_ready(configure_host(path, test_vad_model()));
}

// A file the library could open but would not survive; a missing one it fails to open itself.
TEST(SpeechModelFile, MissingEndsWithModelLoadFailedAndStatusThree) {
    expect_refused(configure_host(work_file("no-such-model"), test_vad_model()), MODEL_LOAD_FAILED, 3);
}

// ---------------------------------------------------------------------------------------
// VAD models.

struct VadCase {
    const char* name;
    std::string (*make)(const VadLayout& m);
};

// Layer fields count from the first layer's input channels; LSTM fields from the input size.
std::string layer_field(const VadLayout& m, size_t index, int32_t value) {
    return with_i32(m.bytes, m.layers + 4 * index, value);
}

std::string lstm_field(const VadLayout& m, size_t index, int32_t value) {
    return with_i32(m.bytes, m.lstm_input + 4 * index, value);
}

// The STFT stride is the LSTM input size; the window needs 64 + 64 + 256 + 3 strides samples.
std::string window_and_stride(const VadLayout& m, int32_t window, int32_t stride) {
    return with_i32(with_i32(m.bytes, m.window, window), m.lstm_input, stride);
}

const VadCase DAMAGED_VAD[] = {
    {"empty", [](const VadLayout&) { return std::string(); }},
    {"garbage", [](const VadLayout&) { return pattern_bytes(16384); }},
    {"cut_inside_magic", [](const VadLayout& m) { return m.bytes.substr(0, 2); }},
    {"cut_inside_type_name", [](const VadLayout& m) { return m.bytes.substr(0, 10); }},
    {"cut_inside_header", [](const VadLayout& m) { return m.bytes.substr(0, m.layers + 20); }},
    {"cut_at_the_first_tensor", [](const VadLayout& m) { return m.bytes.substr(0, m.tensors); }},
    {"cut_inside_the_first_tensor_header",
     [](const VadLayout& m) { return m.bytes.substr(0, m.tensors + 6); }},
    {"cut_inside_tensor_data",
     [](const VadLayout& m) { return m.bytes.substr(0, m.records.front().data_offset + 50); }},
    {"cut_inside_the_last_tensor_data",
     [](const VadLayout& m) { return m.bytes.substr(0, m.bytes.size() - 100); }},
    {"type_name_length_negative", [](const VadLayout& m) { return with_i32(m.bytes, 4, -2); }},
    {"type_name_length_huge", [](const VadLayout& m) { return with_i32(m.bytes, 4, INT32_TOP); }},
    {"window_zero", [](const VadLayout& m) { return with_i32(m.bytes, m.window, 0); }},
    {"window_one_short_of_four_frames", [](const VadLayout& m) { return with_i32(m.bytes, m.window, 511); }},
    {"window_one_short_at_a_shorter_stride",
     [](const VadLayout& m) { return window_and_stride(m, 319, 64); }},
    {"encoder_layers_zero", [](const VadLayout& m) { return with_i32(m.bytes, m.window + 8, 0); }},
    {"encoder_layers_negative", [](const VadLayout& m) { return with_i32(m.bytes, m.window + 8, -1); }},
    {"encoder_layers_two", [](const VadLayout& m) { return with_i32(m.bytes, m.window + 8, 2); }},
    {"encoder_layers_five", [](const VadLayout& m) { return with_i32(m.bytes, m.window + 8, 5); }},
    {"encoder_layers_huge", [](const VadLayout& m) { return with_i32(m.bytes, m.window + 8, 1000000000); }},
    {"input_channels_unlike_the_tensor", [](const VadLayout& m) { return layer_field(m, 0, 7); }},
    {"input_channels_huge", [](const VadLayout& m) { return layer_field(m, 9, 1 << 28); }},
    {"output_channels_unlike_the_tensor", [](const VadLayout& m) { return layer_field(m, 1, 7); }},
    {"kernel_zero", [](const VadLayout& m) { return layer_field(m, 2, 0); }},
    {"last_kernel_huge", [](const VadLayout& m) { return layer_field(m, 11, 1 << 30); }},
    {"stft_stride_zero", [](const VadLayout& m) { return lstm_field(m, 0, 0); }},
    {"stft_stride_negative", [](const VadLayout& m) { return lstm_field(m, 0, -1); }},
    {"stft_stride_one_too_long", [](const VadLayout& m) { return lstm_field(m, 0, 129); }},
    {"stft_stride_huge", [](const VadLayout& m) { return lstm_field(m, 0, 1000000); }},
    {"lstm_hidden_zero", [](const VadLayout& m) { return lstm_field(m, 1, 0); }},
    {"lstm_hidden_negative", [](const VadLayout& m) { return lstm_field(m, 1, -1); }},
    {"lstm_hidden_unlike_the_tensors", [](const VadLayout& m) { return lstm_field(m, 1, 64); }},
    {"lstm_hidden_huge", [](const VadLayout& m) { return lstm_field(m, 1, 1 << 20); }},
    {"final_conv_input_zero", [](const VadLayout& m) { return lstm_field(m, 2, 0); }},
    {"final_conv_input_huge", [](const VadLayout& m) { return lstm_field(m, 2, 1 << 30); }},
    {"tensor_dims_five", [](const VadLayout& m) { return with_i32(m.bytes, m.records.front().offset, 5); }},
    {"tensor_name_length_negative",
     [](const VadLayout& m) { return with_i32(m.bytes, m.records.front().offset + 4, -1); }},
    {"tensor_name_length_zero",
     [](const VadLayout& m) { return with_i32(m.bytes, m.records.front().offset + 4, 0); }},
    {"tensor_type_unknown",
     [](const VadLayout& m) { return with_i32(m.bytes, m.records.front().offset + 8, 99); }},
    {"tensor_type_negative",
     [](const VadLayout& m) { return with_i32(m.bytes, m.records.front().offset + 8, -1); }},
    {"tensor_dim_negative",
     [](const VadLayout& m) { return with_i32(m.bytes, m.records.front().offset + 12, -1); }},
    {"trailing_zero_record", [](const VadLayout& m) { return m.bytes + std::string(12, '\0'); }},
    {"trailing_garbage", [](const VadLayout& m) { return m.bytes + pattern_bytes(256); }},
};

const VadCase GOOD_VAD[] = {
    {"silero_model", [](const VadLayout& m) { return m.bytes; }},
    {"trailing_four_bytes", [](const VadLayout& m) { return m.bytes + std::string(4, '\0'); }},
    {"longer_window", [](const VadLayout& m) { return with_i32(m.bytes, m.window, 1024); }},
    {"shorter_window_at_a_shorter_stride", [](const VadLayout& m) { return window_and_stride(m, 320, 64); }},
    {"context_zero", [](const VadLayout& m) { return with_i32(m.bytes, m.window + 4, 0); }},
    {"final_conv_output_unused", [](const VadLayout& m) { return lstm_field(m, 3, 5); }},
};

void PrintTo(const VadCase& c, std::ostream* os) { *os << c.name; }

class DamagedVadModel : public testing::TestWithParam<VadCase> {};
class GoodVadModel : public testing::TestWithParam<VadCase> {};

TEST_P(DamagedVadModel, EndsWithVadLoadFailedAndStatusFour) {
    REQUIRE_VAD_MODEL();
    std::string path = work_file(std::string("vad-") + GetParam().name);
    write_file(path, GetParam().make(vad_model(test_vad_model())));
    expect_refused(configure_host(SYNTHETIC_MODEL, path), VAD_LOAD_FAILED, 4);
}

TEST_P(GoodVadModel, IsReady) {
    REQUIRE_VAD_MODEL();
    std::string path = work_file(std::string("vad-") + GetParam().name);
    write_file(path, GetParam().make(vad_model(test_vad_model())));
    expect_ready(configure_host(SYNTHETIC_MODEL, path));
}

TEST(VadModelFile, MissingEndsWithVadLoadFailedAndStatusFour) {
    expect_refused(configure_host(SYNTHETIC_MODEL, work_file("no-such-vad")), VAD_LOAD_FAILED, 4);
}

template <typename Case>
std::string case_name(const testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(ModelFiles, DamagedSpeechModel, testing::ValuesIn(DAMAGED_SPEECH),
                         case_name<SpeechCase>);
INSTANTIATE_TEST_SUITE_P(ModelFiles, GoodSpeechModel, testing::ValuesIn(GOOD_SPEECH), case_name<SpeechCase>);
INSTANTIATE_TEST_SUITE_P(ModelFiles, DamagedVadModel, testing::ValuesIn(DAMAGED_VAD), case_name<VadCase>);
INSTANTIATE_TEST_SUITE_P(ModelFiles, GoodVadModel, testing::ValuesIn(GOOD_VAD), case_name<VadCase>);

}  // namespace
