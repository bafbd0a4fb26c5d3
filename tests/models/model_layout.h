// Byte layouts of the two model formats whisper.cpp reads, parsed from good files so that a test
// can damage one field at a time, and writers for whole Whisper files of other shapes and types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct TensorRecord {
    size_t offset = 0;  // of the record's first field, its dimension count
    int32_t type = 0;
    std::vector<int32_t> shape;
    std::string name;
    size_t data_offset = 0;
    size_t data_bytes = 0;
};

// Whisper: magic, eleven header values, mel filters (band count, bin count, floats), the
// vocabulary (count, then length-prefixed tokens) and tensor records to the end.
enum SpeechHparam : size_t {
    N_VOCAB,
    N_AUDIO_CTX,
    N_AUDIO_STATE,
    N_AUDIO_HEAD,
    N_AUDIO_LAYER,
    N_TEXT_CTX,
    N_TEXT_STATE,
    N_TEXT_HEAD,
    N_TEXT_LAYER,
    N_MELS,
    FTYPE
};
constexpr size_t MEL_FILTERS = 48;  // offset of the filter bank's band count

struct SpeechLayout {
    std::string bytes;
    size_t vocab = 0;    // offset of the vocabulary count
    size_t tensors = 0;  // offset of the first tensor record
    std::vector<TensorRecord> records;
};

// Silero: magic, type name, version, window, context, layer count, each layer's input channels,
// output channels and kernel size, four LSTM and final-conv sizes, then tensor records.
struct VadLayout {
    std::string bytes;
    size_t window = 0;      // offset of the window; the context and layer count follow
    size_t layers = 0;      // offset of the first layer's three sizes
    size_t lstm_input = 0;  // then the LSTM hidden size, final conv input and output
    size_t tensors = 0;
    std::vector<TensorRecord> records;
};

size_t hparam_offset(SpeechHparam field);
const SpeechLayout& synthetic_model();  // parsed once from SYNTHETIC_MODEL
const VadLayout& vad_model(const std::string& path);
SpeechLayout parse_speech(std::string bytes);

std::string with_i32(std::string bytes, size_t offset, int32_t value);
std::string with_u32(std::string bytes, size_t offset, uint32_t value);
std::string pattern_bytes(size_t n);  // every byte value in turn: no field of it is plausible

// How a header ftype stores the big weight matrices.
struct WeightFormat {
    int32_t ftype;
    int32_t type;
    int64_t block;
    int64_t block_bytes;
};

// A whole Whisper model of the given shape with zero weights (zero blocks are valid in every
// format used here), the synthetic model's vocabulary and a zero filter bank.
struct WhisperShape {
    int32_t n_vocab = 51864;
    int32_t n_audio_ctx = 1500;
    int32_t n_state = 64;
    int32_t n_head = 1;
    int32_t n_layer = 1;
    int32_t n_text_ctx = 448;
    int32_t n_mels = 80;
};
std::string zero_whisper_model(const WhisperShape& shape, const WeightFormat& weights);

void write_file(const std::string& path, const std::string& bytes);
