#include "stream_session.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace streaming {

using nlohmann::json;

namespace {

constexpr size_t SAMPLES_PER_MS = 16;
constexpr int MARKER_LEVEL = 9;
constexpr int MARKER_MS = 250;  // 4000 samples: too few to open a VAD pass by themselves
constexpr int READY_TIMEOUT_MS = 10000;

// One file stem per test, so parallel runs never share a script or a log.
std::string test_file_stem() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    return std::string(TEST_WORK_DIR) + "/streaming-" + name;
}

std::vector<json> log_calls(const Session& s, const std::string& fn) {
    std::vector<json> out;
    for (const auto& line : read_log(s.log_path))
        if (line.at("fn") == fn) out.push_back(line);
    return out;
}

Sizes sample_counts(const std::vector<json>& calls) {
    Sizes out;
    for (const auto& call : calls) out.push_back(call.at("n_samples").get<int64_t>());
    return out;
}

}  // namespace

Stretch speech(int ms, int level) { return {static_cast<size_t>(ms) * SAMPLES_PER_MS, level}; }

Stretch silence(int ms) { return {static_cast<size_t>(ms) * SAMPLES_PER_MS, 0}; }

Session start_session(const json& script) {
    Session s;
    const std::string stem = test_file_stem();
    const std::string script_path = stem + ".script.json";
    s.log_path = stem + ".log";
    std::remove(s.log_path.c_str());
    std::ofstream(script_path) << script.dump();
    s.host = start_host(SCRIPTED_HOST_EXE, {}, {{"FAKE_WHISPER_SCRIPT", script_path}, {"FAKE_WHISPER_LOG", s.log_path}},
                        {"TELLVANE_VOICE_HOST_DEBUG"});
    send_line(s.host, R"({"op":"configure","model":"/models/ggml-test.bin","vad_model":"/models/vad-test.bin"})");
    const auto lines = read_until(
        s.host, [](const std::string& line) { return parse_event(line).at("ev") == "ready"; }, READY_TIMEOUT_MS);
    if (lines.size() != 1) throw std::runtime_error("configure did not answer with ready alone");
    s.warm_up_decodes = log_calls(s, "whisper_full").size();
    return s;
}

std::string audio_line(const std::vector<Stretch>& stretches) {
    std::vector<int16_t> samples;
    for (const auto& stretch : stretches)
        samples.insert(samples.end(), stretch.samples, static_cast<int16_t>(1000 * stretch.level));
    return json{{"op", "audio"}, {"pcm", pcm_base64(samples)}}.dump();
}

std::string describe(const json& event) {
    const std::string ev = event.at("ev");
    if (ev == "metrics") return ev + " " + event.at("kind").get<std::string>();
    if (ev == "error") return ev + " " + event.at("code").get<std::string>();
    if (ev == "partial")
        return ev + " " + std::to_string(event.at("segment").get<int64_t>()) + " " +
               event.at("text").get<std::string>();
    if (ev == "final")
        return ev + " " + std::to_string(event.at("segment").get<int64_t>()) + " " +
               event.at("text").get<std::string>() + " " + std::to_string(event.at("from_ms").get<int64_t>()) + ".." +
               std::to_string(event.at("to_ms").get<int64_t>());
    return ev;
}

Events describe_all(const std::vector<std::string>& lines) {
    Events out;
    for (const auto& line : lines) out.push_back(describe(parse_event(line)));
    return out;
}

Events command(Session& s, const std::string& line) {
    send_line(s.host, line);
    auto lines = barrier(s.host);
    const auto after = barrier(s.host);
    lines.insert(lines.end(), after.begin(), after.end());
    return describe_all(lines);
}

Events step(Session& s, const std::vector<Stretch>& stretches) { return command(s, audio_line(stretches)); }

Events flush(Session& s) { return command(s, R"({"op":"flush"})"); }

std::string probe_final(Session& s) {
    send_line(s.host, audio_line({speech(MARKER_MS, MARKER_LEVEL)}));
    for (const auto& event : flush(s))
        if (event.rfind("final ", 0) == 0) return event;
    return "";
}

std::vector<json> decodes(const Session& s) {
    auto calls = log_calls(s, "whisper_full");
    calls.erase(calls.begin(), calls.begin() + static_cast<std::ptrdiff_t>(s.warm_up_decodes));
    return calls;
}

Sizes decode_sizes(const Session& s) { return sample_counts(decodes(s)); }

Sizes vad_sizes(const Session& s) { return sample_counts(log_calls(s, "whisper_vad_detect_speech")); }

void wait_for_calls(const Session& s, const std::string& fn, size_t count) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(READY_TIMEOUT_MS);
    while (log_calls(s, fn).size() < count) {
        if (Clock::now() > deadline) throw std::runtime_error("the host never called " + fn);
        sleep_ms(2);
    }
}

void sleep_until(Clock::time_point when) { std::this_thread::sleep_until(when); }

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace streaming
