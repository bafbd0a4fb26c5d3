// stream_audio: drives a voice-host the way a dictation app does. It configures the host,
// streams a 16 kHz mono 16-bit WAV file in chunks (at real-time pace unless told otherwise),
// flushes, and prints every event line as it arrives.
//
//   stream_audio --host PATH --model PATH --vad-model PATH --wav PATH
//                [--chunk-ms 100] [--speed 1.0] [--configure '{"threads":4}']
//
// --speed 0 streams as fast as the pipe takes it. The exit status is the host's.

#include "host_driver.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

struct Options {
    std::string host;
    std::string model;
    std::string vad_model;
    std::string wav;
    int chunk_ms = 100;
    double speed = 1.0;
    json configure = json::object();
};

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "stream_audio: %s\n", message.c_str());
    std::exit(2);
}

Options parse_options(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (i + 1 >= argc) fail("missing value after " + flag);
        std::string value = argv[++i];
        if (flag == "--host") o.host = value;
        else if (flag == "--model") o.model = value;
        else if (flag == "--vad-model") o.vad_model = value;
        else if (flag == "--wav") o.wav = value;
        else if (flag == "--chunk-ms") o.chunk_ms = std::stoi(value);
        else if (flag == "--speed") o.speed = std::stod(value);
        else if (flag == "--configure") o.configure = json::parse(value, nullptr, false);
        else fail("unknown option " + flag);
    }
    if (o.host.empty() || o.model.empty() || o.vad_model.empty() || o.wav.empty()) {
        fail("--host, --model, --vad-model and --wav are required");
    }
    if (!o.configure.is_object()) fail("--configure takes a JSON object");
    if (o.chunk_ms < 10) fail("--chunk-ms must be at least 10");
    return o;
}

uint32_t le32(const std::string& b, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(b[at])) |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1])) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 2])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

uint16_t le16(const std::string& b, size_t at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) |
                                 static_cast<uint8_t>(b[at + 1]) << 8);
}

// Only the format the host takes is accepted; anything else should go through sox first.
std::vector<int16_t> read_wav(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fail("cannot read " + path);
    std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || b.compare(0, 4, "RIFF") != 0 || b.compare(8, 4, "WAVE") != 0) {
        fail(path + " is not a WAV file");
    }
    bool format_ok = false;
    for (size_t at = 12; at + 8 <= b.size();) {
        std::string id = b.substr(at, 4);
        size_t size = le32(b, at + 4);
        size_t body = at + 8;
        if (body + size > b.size()) size = b.size() - body;
        if (id == "fmt " && size >= 16) {
            format_ok = le16(b, body) == 1 && le16(b, body + 2) == 1 &&
                        le32(b, body + 4) == 16000 && le16(b, body + 14) == 16;
        } else if (id == "data") {
            if (!format_ok) fail(path + " must be 16 kHz mono 16-bit PCM (convert it with sox)");
            std::vector<int16_t> samples(size / 2);
            std::memcpy(samples.data(), b.data() + body, samples.size() * 2);
            return samples;
        }
        at = body + size + (size & 1);
    }
    fail(path + " has no audio data");
}

// Prints the events that arrive before the deadline; returns the last one printed.
std::string pump_events(HostProcess& host, Clock::time_point deadline, const std::string& until) {
    std::string line;
    std::string last;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        int wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        if (!read_line(host, line, wait_ms)) return last;
        std::cout << line << std::endl;
        last = line;
        if (!until.empty() && line.find(until) != std::string::npos) return last;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parse_options(argc, argv);
    std::vector<int16_t> samples = read_wav(o.wav);

    HostProcess host = start_host(o.host);
    json configure = o.configure;
    configure["op"] = "configure";
    configure["model"] = o.model;
    configure["vad_model"] = o.vad_model;
    send_line(host, configure.dump());
    std::string answer = pump_events(host, Clock::now() + std::chrono::seconds(120), "\"ev\":\"ready\"");
    if (answer.find("\"ev\":\"ready\"") == std::string::npos) {
        close_input(host);
        return wait_exit(host, 10000);
    }

    size_t chunk = static_cast<size_t>(o.chunk_ms) * 16;
    auto start = Clock::now();
    for (size_t at = 0; at < samples.size(); at += chunk) {
        size_t end = std::min(samples.size(), at + chunk);
        std::vector<int16_t> part(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                  samples.begin() + static_cast<std::ptrdiff_t>(end));
        send_line(host, json{{"op", "audio"}, {"pcm", pcm_base64(part)}}.dump());
        auto due = start;
        if (o.speed > 0) {
            due += std::chrono::microseconds(static_cast<int64_t>(end / 16.0 * 1000.0 / o.speed));
        }
        pump_events(host, due, "");
    }
    send_line(host, R"({"op":"flush"})");
    pump_events(host, Clock::now() + std::chrono::seconds(120), "\"ev\":\"flushed\"");
    send_line(host, R"({"op":"shutdown"})");
    pump_events(host, Clock::now() + std::chrono::seconds(5), "");
    return wait_exit(host, 10000);
}
