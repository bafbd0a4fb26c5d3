// The stream clock as the parent sees it: audio dropped by "reset" and "flush" moves the times of
// later finals on by its length in whole milliseconds, each drop truncated by itself.
#include "protocol_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace protocol;

struct Drop {
    size_t samples;
    const char* op;
};

std::string drop_lines(const std::vector<Drop>& drops) {
    std::string lines;
    for (const auto& d : drops) {
        lines += audio_line(constant_samples(d.samples, 0)) + "\n";
        lines += std::string(R"({"op":")") + d.op + "\"}\n";
    }
    return lines;
}

std::vector<nlohmann::json> finals_in(const std::vector<std::string>& lines) {
    std::vector<nlohmann::json> finals;
    for (const auto& line : lines) {
        auto event = parse_event(line);
        if (event.value("ev", "") == "final") finals.push_back(event);
    }
    return finals;
}

TEST(StreamClock, DroppedAudioOffsetsTheNextFinal) {
    struct Case {
        const char* name;
        std::vector<Drop> drops;
        int64_t base_ms;
    };
    const std::vector<Drop> sixteen_single_samples(16, Drop{1, "reset"});
    const std::vector<Drop> ten_flushes_of_1000_5_ms(10, Drop{16008, "flush"});
    const std::vector<Case> cases = {
        {"nothing dropped", {}, 0},
        {"reset of 16016 samples is 1000 ms, not 1001", {{16016, "reset"}}, 1000},
        {"reset of 24000 samples", {{24000, "reset"}}, 1500},
        {"flush of 3199 samples", {{3199, "flush"}}, 199},
        // The clock counts dropped samples and truncates once, so fractions never pile up.
        {"sixteen resets of one sample each add one millisecond", sixteen_single_samples, 1},
        {"ten flushes of 1000.5 ms add 10005 ms", ten_flushes_of_1000_5_ms, 10005},
        {"drops add up before truncating", {{16016, "reset"}, {24000, "reset"}, {3199, "flush"}},
         2700},
    };
    // 0.25 s of silence, then 0.5 s of sound ending the buffer, so no pause cut can come before
    // the flush: the final spans 250..750 ms of the buffer.
    const auto utterance = concat(constant_samples(4000, 0), constant_samples(8000, 5000));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostProcess host = start_scripted();
        configure(host);
        send(host, drop_lines(c.drops) + audio_line(utterance) + "\n" + R"({"op":"flush"})" + "\n");
        // Each flush of the drops answers too; the utterance's flush is the last one.
        size_t flushes_left = 1;
        for (const auto& d : c.drops) flushes_left += std::string(d.op) == "flush";
        const auto lines = read_until(host, [&](const std::string& line) {
            return line == FLUSHED && --flushes_left == 0;
        }, WAIT_MS);
        ASSERT_FALSE(lines.empty());
        ASSERT_EQ(lines.back(), FLUSHED);
        const auto finals = finals_in(lines);
        ASSERT_EQ(finals.size(), 1u);
        EXPECT_EQ(finals[0].value("from_ms", int64_t{-1}), c.base_ms + 250) << finals[0].dump();
        EXPECT_EQ(finals[0].value("to_ms", int64_t{-1}), c.base_ms + 750) << finals[0].dump();
    }
}

}  // namespace
