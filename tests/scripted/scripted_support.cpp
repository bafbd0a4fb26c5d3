#include "scripted_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace scripted {
namespace {

std::string file_stem(const std::string& tag) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string stem = std::string(info->test_suite_name()) + "." + info->name();
    if (!tag.empty()) stem += "." + tag;
    for (char& c : stem) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-';
        if (!plain) c = '_';
    }
    return std::string(TEST_WORK_DIR) + "/" + stem;
}

std::runtime_error unexpected(const std::string& what, const std::vector<std::string>& lines) {
    std::string why = what + "; lines seen:";
    for (const auto& line : lines) why += "\n  " + line;
    return std::runtime_error(why);
}

bool is_event(const std::string& line, const char* ev) {
    const json event = json::parse(line, nullptr, false);
    return event.is_object() && event.value("ev", "") == ev;
}

}  // namespace

json gpu_devices(const char* reg, const char* description) {
    return json::array({{{"type", 0}, {"description", "CPU"}, {"reg", "CPU"}},
                        {{"type", 1}, {"description", description}, {"reg", reg}}});
}

json gpu_script() { return {{"devices", gpu_devices()}}; }

ScriptedHost start_scripted(const json& script, const std::string& tag) {
    const std::string stem = file_stem(tag);
    const std::string script_path = stem + ".script.json";
    ScriptedHost host;
    host.log_path = stem + ".calls.log";
    std::remove(host.log_path.c_str());
    std::ofstream(script_path) << script.dump();
    host.process = start_host(SCRIPTED_HOST_EXE, {},
                              {{"FAKE_WHISPER_SCRIPT", script_path}, {"FAKE_WHISPER_LOG", host.log_path}},
                              {"TELLVANE_VOICE_HOST_DEBUG"});
    return host;
}

json configure_command(const json& extra) {
    json command = {{"op", "configure"}, {"model", "models/base.bin"}, {"vad_model", "models/vad.bin"}};
    for (const auto& item : extra.items()) command[item.key()] = item.value();
    return command;
}

std::vector<std::string> send_configure(ScriptedHost& host, const json& command) {
    send_line(host.process, command.dump());
    return read_until(
        host.process,
        [](const std::string& line) { return is_event(line, "ready") || is_event(line, "error"); },
        WAIT_MS);
}

json configure(ScriptedHost& host, const json& extra) {
    const auto lines = send_configure(host, configure_command(extra));
    if (lines.size() != 1 || !is_event(lines.back(), "ready")) {
        throw unexpected("configure was not answered by ready alone (stderr: " +
                             read_all_stderr(host.process, 1000) + ")",
                         lines);
    }
    return parse_event(lines.back());
}

std::vector<int16_t> tone(std::initializer_list<Stretch> stretches) {
    std::vector<int16_t> samples;
    for (const auto& stretch : stretches) {
        samples.insert(samples.end(), stretch.samples, static_cast<int16_t>(1000 * stretch.level));
    }
    return samples;
}

std::vector<int16_t> tone(int level, size_t samples) { return tone({{level, samples}}); }

std::string audio_command(const std::string& pcm) { return json{{"op", "audio"}, {"pcm", pcm}}.dump(); }

void send_audio(ScriptedHost& host, const std::vector<int16_t>& samples) {
    send_line(host.process, audio_command(pcm_base64(samples)));
}

std::vector<std::string> sync(ScriptedHost& host) {
    auto lines = barrier(host.process, WAIT_MS);
    const auto after = barrier(host.process, WAIT_MS);
    lines.insert(lines.end(), after.begin(), after.end());
    return lines;
}

std::vector<std::string> flush(ScriptedHost& host) {
    send_line(host.process, R"({"op":"flush"})");
    auto lines = read_until(
        host.process, [](const std::string& line) { return line == R"({"ev":"flushed"})"; }, WAIT_MS);
    if (lines.empty() || lines.back() != R"({"ev":"flushed"})") throw unexpected("flush not answered", lines);
    lines.pop_back();
    return lines;
}

std::vector<std::string> say(ScriptedHost& host, const std::vector<int16_t>& samples) {
    send_audio(host, samples);
    sync(host);
    return flush(host);
}

std::vector<json> events(const std::vector<std::string>& lines, const std::string& ev) {
    std::vector<json> out;
    for (const auto& line : lines) {
        json event = parse_event(line);
        if (ev.empty() || event.value("ev", "") == ev) out.push_back(std::move(event));
    }
    return out;
}

std::vector<json> calls(const ScriptedHost& host, const std::string& fn) {
    std::vector<json> out;
    for (auto& entry : read_log(host.log_path)) {
        if (entry.value("fn", "") == fn) out.push_back(std::move(entry));
    }
    return out;
}

std::vector<json> warm_ups(const ScriptedHost& host) {
    std::vector<json> out;
    for (auto& call : calls(host, "whisper_full")) {
        if (call["single_segment"] == true) out.push_back(std::move(call));
    }
    return out;
}

std::vector<json> decodes(const ScriptedHost& host) {
    std::vector<json> out;
    for (auto& call : calls(host, "whisper_full")) {
        if (call["single_segment"] == false) out.push_back(std::move(call));
    }
    return out;
}

json last_decode(const ScriptedHost& host) {
    const auto all = decodes(host);
    if (all.empty()) throw std::runtime_error("no decode reached the library");
    return all.back();
}

std::string error_line(const std::string& code, const std::string& message, bool fatal) {
    return json{{"ev", "error"}, {"code", code}, {"message", message}, {"fatal", fatal}}.dump();
}

}  // namespace scripted
