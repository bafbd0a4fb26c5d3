// Shared vocabulary of the command-channel tests: starting the scripted host with a clean
// environment, the command lines they send and the exact lines the host must answer.
#pragma once

#include "host_driver.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace protocol {

constexpr const char* DEBUG_VAR = "TELLVANE_VOICE_HOST_DEBUG";
constexpr int WAIT_MS = 10000;

constexpr const char* FLUSHED = R"({"ev":"flushed"})";
constexpr const char* BAD_JSON =
    R"({"code":"bad_json","ev":"error","fatal":false,"message":"unparseable command line"})";
constexpr const char* BAD_STATE =
    R"({"code":"bad_state","ev":"error","fatal":false,"message":"audio before configure"})";

using EnvList = std::vector<std::pair<std::string, std::string>>;

// The variables that change what the host or the scripted library does are cleared unless the
// test names them, so the caller's environment cannot leak into an expectation.
inline HostProcess start_clean(const char* exe, const EnvList& env = {}, const std::vector<std::string>& args = {}) {
    std::vector<std::string> unset;
    for (const char* name : {DEBUG_VAR, "FAKE_WHISPER_SCRIPT", "FAKE_WHISPER_LOG"}) {
        bool named = false;
        for (const auto& kv : env) named = named || kv.first == name;
        if (!named) unset.push_back(name);
    }
    return start_host(exe, args, env, unset);
}

inline HostProcess start_scripted(const EnvList& env = {}, const std::vector<std::string>& args = {}) {
    return start_clean(SCRIPTED_HOST_EXE, env, args);
}

inline std::string bad_command(const std::string& message) {
    return R"({"code":"bad_command","ev":"error","fatal":false,"message":")" + message + R"("})";
}

// The scripted library loads any path, so any non-empty names serve.
inline std::string configure_line(const std::string& extra = "") {
    return R"({"op":"configure","model":"scripted.bin","vad_model":"scripted-vad.bin")" + extra + "}";
}

inline std::string audio_line(const std::vector<int16_t>& samples) {
    return R"({"op":"audio","pcm":")" + pcm_base64(samples) + R"("})";
}

inline std::vector<int16_t> concat(std::vector<int16_t> a, const std::vector<int16_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void expect_ready(HostProcess& host) {
    std::string line;
    ASSERT_TRUE(read_line(host, line, WAIT_MS)) << "no answer to configure";
    EXPECT_EQ(parse_event(line).value("ev", ""), "ready") << line;
}

inline void configure(HostProcess& host, const std::string& extra = "") {
    send_line(host, configure_line(extra));
    expect_ready(host);
}

// Everything the host answered to `bytes`, proven complete by a barrier.
inline std::vector<std::string> answers_to(const std::string& bytes, const char* exe = SCRIPTED_HOST_EXE) {
    HostProcess host = start_clean(exe);
    send(host, bytes);
    return barrier(host);
}

// Starts a host, sends it a configure whose warm-up stalls for half a second, and returns once
// the host is inside that warm-up. Every line written before the stall ends is then queued when
// the host next takes a batch, so those lines share one batch however fast the reader is. The
// caller reads that configure's "ready" first. `name` and the process id keep the scratch files
// of concurrent tests apart.
inline HostProcess start_stalled_in_configure(const std::string& name) {
    const std::string stem = std::string(TEST_WORK_DIR) + "/" + name + "-" + std::to_string(getpid());
    const std::string script = stem + "-script.json";
    const std::string log = stem + "-log.jsonl";
    std::remove(log.c_str());
    FILE* file = std::fopen(script.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("cannot write " + script);
    std::fputs(R"({"decode_delays_ms":[500]})", file);
    std::fclose(file);

    HostProcess host = start_scripted({{"FAKE_WHISPER_SCRIPT", script}, {"FAKE_WHISPER_LOG", log}});
    send_line(host, configure_line());
    // The VAD model is the last thing configure loads before the warm-up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    for (;;) {
        for (const auto& entry : read_log(log))
            if (entry.value("fn", "") == "whisper_vad_init_from_file_with_params") return host;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the host never loaded its VAD model");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace protocol
