#include "event_rules.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <vector>

namespace storm {
namespace {

using json = nlohmann::json;

enum class Type { TEXT, INT32, INT64, NUMBER, BOOL };

struct EventShape {
    const char* ev;
    std::map<std::string, Type> keys;  // every key but "ev", all required, no others allowed
};

const std::vector<EventShape>& shapes() {
    static const std::vector<EventShape> SHAPES = {
        {"ready",
         {{"audio_ctx", Type::TEXT}, {"backend", Type::TEXT}, {"beam_size", Type::INT32},
          {"gpu", Type::BOOL}, {"gpu_name", Type::TEXT}, {"load_ms", Type::INT32},
          {"max_buffer_s", Type::NUMBER}, {"model", Type::TEXT}, {"partial_window_s", Type::NUMBER},
          {"protocol", Type::INT32}, {"version", Type::TEXT}, {"warm_ms", Type::INT32}}},
        {"partial", {{"segment", Type::INT64}, {"text", Type::TEXT}}},
        {"final",
         {{"from_ms", Type::INT64}, {"segment", Type::INT32}, {"text", Type::TEXT},
          {"to_ms", Type::INT64}}},
        {"metrics",
         {{"buffer_ms", Type::INT32}, {"decode_ms", Type::INT32}, {"kind", Type::TEXT},
          {"rss_mb", Type::INT32}, {"rtf", Type::NUMBER}}},
        {"flushed", {}},
        {"error", {{"code", Type::TEXT}, {"fatal", Type::BOOL}, {"message", Type::TEXT}}},
    };
    return SHAPES;
}

struct ErrorCode {
    const char* code;
    const char* message;  // null where the message carries the offending input
    int fatal_status;
};

constexpr ErrorCode ERROR_CODES[] = {
    {"bad_json", "unparseable command line", 0},
    {"bad_command", nullptr, 0},
    {"protocol_mismatch", "host speaks protocol 1", 2},
    {"bad_configure", "configure requires model and vad_model paths", 2},
    {"model_load_failed", "could not load speech model", 3},
    {"vad_load_failed", "could not load VAD model", 4},
    {"bad_state", "audio before configure", 0},
    {"vad_failed", "voice activity detection failed", 0},
    {"decode_failed", "transcription failed", 0},
};

bool has_type(const json& v, Type type) {
    switch (type) {
        case Type::TEXT: return v.is_string();
        case Type::BOOL: return v.is_boolean();
        case Type::NUMBER: return v.is_number();
        case Type::INT64: return v.is_number_integer();
        case Type::INT32:
            if (v.is_number_unsigned()) return v.get<uint64_t>() <= uint64_t(INT32_MAX);
            return v.is_number_integer() && v.get<int64_t>() >= INT32_MIN &&
                   v.get<int64_t>() <= INT32_MAX;
    }
    return false;
}

const ErrorCode* find_code(const std::string& code) {
    for (const ErrorCode& c : ERROR_CODES) {
        if (code == c.code) return &c;
    }
    return nullptr;
}

std::string error_problem(const json& event) {
    const std::string code = event["code"].get<std::string>();
    const ErrorCode* known = find_code(code);
    if (known == nullptr) return "undocumented error code " + code;
    if (event["fatal"].get<bool>() != (known->fatal_status != 0)) return "wrong fatal flag";
    if (known->message != nullptr && event["message"] != known->message) return "wrong message";
    return "";
}

std::string value_problem(const json& event) {
    const std::string ev = event["ev"].get<std::string>();
    if (ev == "error") return error_problem(event);
    if (ev == "ready") {
        if (event["protocol"] != 1) return "ready with a protocol other than 1";
        if (event["audio_ctx"] != "bounded" && event["audio_ctx"] != "full") return "odd audio_ctx";
    }
    if (ev == "metrics" && event["kind"] != "final" && event["kind"] != "partial") return "odd kind";
    if ((ev == "final" || ev == "partial") && event["text"].get<std::string>().empty()) {
        return "empty text";
    }
    if (ev == "final" && event["from_ms"].get<int64_t>() > event["to_ms"].get<int64_t>()) {
        return "final ends before it starts";
    }
    return "";
}

}  // namespace

bool is_valid_utf8(const std::string& bytes) {
    size_t i = 0;
    const size_t n = bytes.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(bytes[i]);
        size_t len = c < 0x80          ? 1
                     : (c >> 5) == 0x6  ? 2
                     : (c >> 4) == 0xE  ? 3
                     : (c >> 3) == 0x1E ? 4
                                        : 0;
        if (len == 0 || i + len > n) return false;
        uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        for (size_t k = 1; k < len; ++k) {
            auto cc = static_cast<unsigned char>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static const uint32_t MIN_FOR_LENGTH[] = {0, 0, 0x80, 0x800, 0x10000};
        bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        if (cp < MIN_FOR_LENGTH[len] || cp > 0x10FFFF || surrogate) return false;
        i += len;
    }
    return true;
}

std::string event_problem(const std::string& line) {
    if (!is_valid_utf8(line)) return "not valid UTF-8";
    json event = json::parse(line, nullptr, false);
    if (!event.is_object()) return "not one JSON object";
    if (event.dump() != line) return "not compact JSON with sorted keys";
    auto ev = event.find("ev");
    if (ev == event.end() || !ev->is_string()) return "no \"ev\" text";
    for (const EventShape& shape : shapes()) {
        if (*ev != shape.ev) continue;
        if (event.size() != shape.keys.size() + 1) return "wrong set of keys";
        for (const auto& [key, type] : shape.keys) {
            auto it = event.find(key);
            if (it == event.end()) return "missing key " + key;
            if (!has_type(*it, type)) return "wrong type for " + key;
        }
        return value_problem(event);
    }
    return "undocumented event";
}

int fatal_status(const std::string& code) {
    const ErrorCode* known = find_code(code);
    return known != nullptr ? known->fatal_status : 0;
}

}  // namespace storm
