// Single lines that are the likeliest to break a JSON command host, each sent to a configured
// scripted host: the host must answer only documented events and then either keep answering
// or end with the status its error demands. Lines shrunk from storm failures belong here too.
#include "event_rules.h"
#include "host_driver.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace {

using json = nlohmann::json;

// A status of -1: the host must stay alive and answer a barrier after the line.
struct NastyLine {
    const char* name;
    std::string line;
    int exit_status = -1;
};

std::string repeat(const std::string& part, size_t times) {
    std::string out;
    out.reserve(part.size() * times);
    for (size_t i = 0; i < times; ++i) out += part;
    return out;
}

// A valid "configure" (the host checks that the model files exist) with raw JSON members added.
std::string configure_line(const std::string& extra = "") {
    std::string line =
        json{{"op", "configure"}, {"model", SYNTHETIC_MODEL}, {"vad_model", TEST_VAD_MODEL}}.dump();
    if (extra.empty()) return line;
    line.pop_back();
    return line + "," + extra + "}";
}

const std::vector<NastyLine>& nasty_lines() {
    static const std::vector<NastyLine> LINES = {
        {"hundred thousand open brackets", std::string(100000, '[')},
        {"two million open brackets", std::string(2000000, '[')},
        {"deeply nested value under a known op",
         R"({"op":"flush","x":)" + std::string(1000000, '[') + std::string(1000000, ']') + "}"},
        {"deeply nested pcm", R"({"op":"audio","pcm":)" + repeat(R"({"a":)", 1000000) + "1" +
                                  std::string(1000000, '}') + "}"},
        {"deeply nested prompt text", R"({"op":"prompt","text":)" + repeat("[{\"a\":", 300000)},
        {"largest doubles",
         configure_line(R"("partial_window_s":1e308,"threads":1e308,"beam_size":-1e308,)"
                        R"("idle_exit_s":1e308)")},
        {"out-of-range exponents", configure_line(R"("partial_window_s":1e400,"threads":-1e400)")},
        {"integers past 64 bits",
         configure_line(R"("threads":18446744073709551616,"beam_size":-9223372036854775809)")},
        {"integer key given a fraction near the limit",
         configure_line(R"("beam_size":2147483647.9,"threads":-2147483648.5)")},
        {"protocol of another version", configure_line(R"("protocol":2)"), 2},
        {"configure without paths", R"({"op":"configure","protocol":1.0})", 2},
        {"one odd byte of pcm", R"({"op":"audio","pcm":"AA=="})"},
        {"pcm of padding only", R"({"op":"audio","pcm":"===="})"},
        {"pcm full of strays", R"({"op":"audio","pcm":"A A\nA\tA%%%A=A=A\u0000A"})"},
        {"megabyte op echoed back", R"({"op":")" + std::string(1 << 20, 'o') + R"("})"},
        {"megabyte model path",
         R"({"op":"configure","model":")" + std::string(1 << 20, 'm') + R"(","vad_model":"v"})"},
        {"prompt cut inside a character",
         R"({"op":"prompt","text":")" + std::string(599, 'a') + "\xE6\xBC\xA2\"}"},
        {"null op", R"({"op":null})"},
        {"numeric op", R"({"op":1e308})"},
        {"op in an array", R"({"op":["flush"]})"},
        {"op in an object", R"({"op":{"op":"flush"}})"},
        {"null pcm", R"({"op":"audio","pcm":null})"},
        {"numeric prompt text", R"({"op":"prompt","text":7})"},
        {"escaped NUL in op", R"({"op":"\u0000"})"},
        {"lone surrogate escape", R"({"op":"\ud800"})"},
        {"overlong encoding", "{\"op\":\"\xC0\xAF\"}"},
        {"raw bytes with NUL", std::string("\0\x01\xFF{\"op\":\"flush\"}", 18)},
        {"byte-order mark then command", "\xEF\xBB\xBF{\"op\":\"flush\"}"},
        {"lone carriage return", "\r"},
    };
    return LINES;
}

TEST(NastyLines, HostStaysAliveOrEndsAsDocumented) {
    for (const NastyLine& nasty : nasty_lines()) {
        SCOPED_TRACE(nasty.name);
        HostProcess host =
            start_host(SCRIPTED_HOST_EXE, {}, {}, {"FAKE_WHISPER_SCRIPT", "FAKE_WHISPER_LOG"});
        send_line(host, configure_line());
        send_line(host, nasty.line);
        std::vector<std::string> lines;
        if (nasty.exit_status < 0) {
            ASSERT_NO_THROW(lines = barrier(host)) << "host status " << wait_exit(host, 5000);
            close_input(host);
            EXPECT_EQ(wait_exit(host, 10000), 0);
        } else {
            EXPECT_EQ(wait_exit(host, 10000), nasty.exit_status);
        }
        std::string line;
        while (read_line(host, line, 10000)) lines.push_back(line);
        EXPECT_EQ(read_all_stdout(host, 10000), "") << "unterminated last line";
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(json::parse(lines.front()).value("ev", ""), "ready") << lines.front();
        for (const std::string& line : lines) {
            EXPECT_EQ(storm::event_problem(line), "") << line.substr(0, 300);
        }
    }
}

}  // namespace
