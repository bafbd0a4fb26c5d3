#include "model_layout.h"

#include "host_driver.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

constexpr uint32_t GGML_MAGIC = 0x67676d6c;
constexpr int32_t TYPE_F32 = 0;
constexpr int32_t TYPE_F16 = 1;
constexpr int32_t MEL_BINS = 201;

int32_t i32_at(const std::string& bytes, size_t offset) {
    if (offset + 4 > bytes.size()) throw std::runtime_error("model file ends inside a field");
    int32_t v;
    std::memcpy(&v, bytes.data() + offset, sizeof v);
    return v;
}

// The good files hold only f32 and f16 tensors.
size_t element_bytes(int32_t type) {
    if (type == TYPE_F32) return 4;
    if (type == TYPE_F16) return 2;
    throw std::runtime_error("unexpected tensor type " + std::to_string(type));
}

std::vector<TensorRecord> parse_records(const std::string& bytes, size_t offset) {
    std::vector<TensorRecord> records;
    while (offset + 12 <= bytes.size()) {
        TensorRecord r;
        r.offset = offset;
        int32_t n_dims = i32_at(bytes, offset);
        int32_t name_length = i32_at(bytes, offset + 4);
        r.type = i32_at(bytes, offset + 8);
        size_t elements = 1;
        for (int32_t i = 0; i < n_dims; ++i) {
            r.shape.push_back(i32_at(bytes, offset + 12 + 4 * i));
            elements *= static_cast<size_t>(r.shape.back());
        }
        size_t name_offset = offset + 12 + 4 * static_cast<size_t>(n_dims);
        r.name = bytes.substr(name_offset, static_cast<size_t>(name_length));
        r.data_offset = name_offset + static_cast<size_t>(name_length);
        r.data_bytes = elements * element_bytes(r.type);
        offset = r.data_offset + r.data_bytes;
        if (offset > bytes.size()) throw std::runtime_error("tensor " + r.name + " runs past the end");
        records.push_back(std::move(r));
    }
    if (offset != bytes.size()) throw std::runtime_error("bytes after the last tensor");
    return records;
}

void put_i32(std::string& out, int32_t v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); }

struct Writer {
    std::string out;
    WeightFormat weights;

    void tensor(const std::string& name, const std::vector<int32_t>& shape, int32_t type) {
        int64_t elements = 1;
        for (int32_t n : shape) elements *= n;
        int64_t bytes = type == weights.type ? elements / weights.block * weights.block_bytes
                                             : elements * static_cast<int64_t>(element_bytes(type));
        put_i32(out, static_cast<int32_t>(shape.size()));
        put_i32(out, static_cast<int32_t>(name.size()));
        put_i32(out, type);
        for (int32_t n : shape) put_i32(out, n);
        out += name;
        out.append(static_cast<size_t>(bytes), '\0');
    }

    void norm(const std::string& name, int32_t n) {
        tensor(name + ".weight", {n}, TYPE_F32);
        tensor(name + ".bias", {n}, TYPE_F32);
    }

    void attention(const std::string& name, int32_t n) {
        for (const char* part : {".query", ".value", ".out"}) {
            tensor(name + part + ".weight", {n, n}, weights.type);
            tensor(name + part + ".bias", {n}, TYPE_F32);
        }
        tensor(name + ".key.weight", {n, n}, weights.type);
    }

    void block(const std::string& prefix, int32_t n, bool cross) {
        norm(prefix + "attn_ln", n);
        attention(prefix + "attn", n);
        norm(prefix + "mlp_ln", n);
        tensor(prefix + "mlp.0.weight", {n, 4 * n}, weights.type);
        tensor(prefix + "mlp.0.bias", {4 * n}, TYPE_F32);
        tensor(prefix + "mlp.2.weight", {4 * n, n}, weights.type);
        tensor(prefix + "mlp.2.bias", {n}, TYPE_F32);
        if (cross) {
            norm(prefix + "cross_attn_ln", n);
            attention(prefix + "cross_attn", n);
        }
    }
};

}  // namespace

size_t hparam_offset(SpeechHparam field) { return 4 + 4 * static_cast<size_t>(field); }

SpeechLayout parse_speech(std::string bytes) {
    SpeechLayout model;
    model.bytes = std::move(bytes);
    const std::string& b = model.bytes;
    if (static_cast<uint32_t>(i32_at(b, 0)) != GGML_MAGIC) throw std::runtime_error("not a ggml file");
    size_t filters =
        static_cast<size_t>(i32_at(b, MEL_FILTERS)) * static_cast<size_t>(i32_at(b, MEL_FILTERS + 4));
    model.vocab = MEL_FILTERS + 8 + 4 * filters;
    size_t offset = model.vocab + 4;
    for (int32_t i = 0, n = i32_at(b, model.vocab); i < n; ++i) {
        offset += 4 + static_cast<uint32_t>(i32_at(b, offset));
    }
    model.tensors = offset;
    model.records = parse_records(b, offset);
    return model;
}

const SpeechLayout& synthetic_model() {
    static const SpeechLayout model = parse_speech(read_file(SYNTHETIC_MODEL));
    return model;
}

const VadLayout& vad_model(const std::string& path) {
    static const VadLayout model = [&] {
        VadLayout m;
        m.bytes = read_file(path);
        const std::string& b = m.bytes;
        if (static_cast<uint32_t>(i32_at(b, 0)) != GGML_MAGIC) throw std::runtime_error("not a ggml file");
        m.window = 8 + static_cast<size_t>(i32_at(b, 4)) + 12;
        m.layers = m.window + 12;
        m.lstm_input = m.layers + 12 * static_cast<size_t>(i32_at(b, m.window + 8));
        m.tensors = m.lstm_input + 16;
        m.records = parse_records(b, m.tensors);
        return m;
    }();
    return model;
}

std::string with_i32(std::string bytes, size_t offset, int32_t value) {
    if (offset + 4 > bytes.size()) throw std::runtime_error("field outside the file");
    std::memcpy(&bytes[offset], &value, sizeof value);
    return bytes;
}

std::string with_u32(std::string bytes, size_t offset, uint32_t value) {
    return with_i32(std::move(bytes), offset, static_cast<int32_t>(value));
}

std::string pattern_bytes(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i & 0xff);
    return out;
}

std::string zero_whisper_model(const WhisperShape& s, const WeightFormat& weights) {
    const SpeechLayout& synthetic = synthetic_model();
    Writer w{{}, weights};
    put_i32(w.out, static_cast<int32_t>(GGML_MAGIC));
    for (int32_t v : {s.n_vocab, s.n_audio_ctx, s.n_state, s.n_head, s.n_layer, s.n_text_ctx, s.n_state,
                      s.n_head, s.n_layer, s.n_mels, weights.ftype}) {
        put_i32(w.out, v);
    }
    put_i32(w.out, s.n_mels);
    put_i32(w.out, MEL_BINS);
    w.out.append(4 * static_cast<size_t>(s.n_mels) * MEL_BINS, '\0');
    w.out += synthetic.bytes.substr(synthetic.vocab, synthetic.tensors - synthetic.vocab);

    const int32_t n = s.n_state;
    const int32_t conv = weights.type == TYPE_F32 ? TYPE_F32 : TYPE_F16;
    w.tensor("encoder.positional_embedding", {n, s.n_audio_ctx}, TYPE_F32);
    w.tensor("encoder.conv1.weight", {3, s.n_mels, n}, conv);
    w.tensor("encoder.conv1.bias", {1, n}, TYPE_F32);
    w.tensor("encoder.conv2.weight", {3, n, n}, conv);
    w.tensor("encoder.conv2.bias", {1, n}, TYPE_F32);
    w.norm("encoder.ln_post", n);
    for (int32_t i = 0; i < s.n_layer; ++i) w.block("encoder.blocks." + std::to_string(i) + ".", n, false);
    w.tensor("decoder.positional_embedding", {n, s.n_text_ctx}, TYPE_F32);
    w.tensor("decoder.token_embedding.weight", {n, s.n_vocab}, weights.type);
    w.norm("decoder.ln", n);
    for (int32_t i = 0; i < s.n_layer; ++i) w.block("decoder.blocks." + std::to_string(i) + ".", n, true);
    return w.out;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path);
}
