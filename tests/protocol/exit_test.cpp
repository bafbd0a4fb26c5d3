// How the host ends: end of input, "shutdown", the idle time-out and the fatal configure
// errors, and what it leaves on stdout and stderr on the way out.
#include "protocol_support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace protocol;

constexpr const char* PROTOCOL_MISMATCH =
    R"({"code":"protocol_mismatch","ev":"error","fatal":true,"message":"host speaks protocol 1"})";
constexpr const char* BAD_CONFIGURE =
    R"({"code":"bad_configure","ev":"error","fatal":true,"message":"configure requires model and vad_model paths"})";

// 0.25 s of level-5 sound (the scripted decoder calls it "w5"): short enough that no VAD pass
// runs over it alone, so any event after it comes from lines sent later.
std::vector<int16_t> short_speech() { return constant_samples(4000, 5000); }

TEST(EndOfInput, ClosedAtOnceEndsWithStatusZeroAndNoOutput) {
    HostProcess host = start_scripted();
    close_input(host);
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    EXPECT_EQ(read_all_stdout(host, WAIT_MS), "");
    EXPECT_EQ(read_all_stderr(host, WAIT_MS), "");
}

TEST(EndOfInput, LinesBeforeItAreHandledInOrderWithoutAStreamingStep) {
    // A streaming step over this audio would cut a final at the pause after the speech.
    const auto speech_then_pause = concat(short_speech(), constant_samples(24000, 0));
    HostProcess host = start_stalled_in_configure("protocol-end-of-input");
    send(host, std::string(R"({"op":"one"})") + "\n" + audio_line(speech_then_pause) + "\n" +
                   R"({"op":"two"})" + "\n");
    close_input(host);
    expect_ready(host);
    EXPECT_EQ(read_all_stdout(host, WAIT_MS),
              bad_command("unknown op: one") + "\n" + bad_command("unknown op: two") + "\n");
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
}

TEST(Shutdown, AloneEndsWithStatusZeroAndNoOutput) {
    HostProcess host = start_scripted();
    send_line(host, R"({"op":"shutdown"})");
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    EXPECT_EQ(read_all_stdout(host, WAIT_MS), "");
}

TEST(Shutdown, LinesAfterItInTheSameWriteAreNeverHandled) {
    // Handled after a configure, the second chunk would leave a pause after the speech and so a
    // final; before one, it would draw a second "bad_state".
    const std::string batch = audio_line(short_speech()) + "\n" + R"({"op":"shutdown"})" + "\n" +
                              audio_line(constant_samples(16000, 0)) + "\n";
    for (bool configured : {false, true}) {
        SCOPED_TRACE(configured ? "configured" : "unconfigured");
        HostProcess host = start_scripted();
        if (configured) configure(host);
        send(host, batch);
        EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
        EXPECT_EQ(read_all_stdout(host, WAIT_MS), configured ? "" : std::string(BAD_STATE) + "\n");
    }
}

TEST(IdleExit, ZeroEndsTheHostRightAfterTheConfigureBatch) {
    HostProcess host = start_scripted();
    configure(host, R"(,"idle_exit_s":0)");
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    EXPECT_EQ(read_all_stdout(host, WAIT_MS), "");
}

TEST(IdleExit, BufferedAudioKeepsTheHostUntilTheBufferIsEmpty) {
    HostProcess host = start_stalled_in_configure("protocol-idle-audio");
    send(host, configure_line(R"(,"idle_exit_s":0)") + "\n" + audio_line(constant_samples(16000, 0)) + "\n");
    expect_ready(host);
    expect_ready(host);
    send_line(host, R"({"op":"flush"})");
    std::string line;
    ASSERT_TRUE(read_line(host, line, WAIT_MS)) << "the host ended while it held audio";
    EXPECT_EQ(line, FLUSHED);
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    EXPECT_EQ(read_all_stdout(host, WAIT_MS), "");
}

// Lines that are no JSON object come every 200 ms, yet the host ends a second after "configure".
TEST(IdleExit, LinesThatAreNoObjectDoNotPutItOff) {
    HostProcess host = start_scripted();
    configure(host, R"(,"idle_exit_s":1)");
    const char* lines[] = {"not json", "[1,2]", R"("op")"};
    constexpr int SENT = 15;
    int answered = 0;
    for (; answered < SENT; ++answered) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        send_line(host, lines[answered % 3]);
        std::string line;
        if (!read_line(host, line, WAIT_MS)) break;
        EXPECT_EQ(line, BAD_JSON);
    }
    EXPECT_LT(answered, SENT) << "the host outlived three seconds of lines that were no object";
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
}

TEST(DebugVariable, OnlyExactlyOneLetsLibraryLogThrough) {
    struct Case {
        const char* name;
        std::optional<std::string> value;
        bool logs;
    };
    const std::vector<Case> cases = {
        {"one", "1", true},
        {"eleven", "11", false},
        {"empty", "", false},
        {"unset", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EnvList env;
        if (c.value) env.push_back({DEBUG_VAR, *c.value});
        HostProcess host = start_scripted(env);
        configure(host);
        close_input(host);
        EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
        const std::string err = read_all_stderr(host, WAIT_MS);
        if (c.logs) {
            EXPECT_NE(err.find("scripted whisper: model loaded\n"), std::string::npos) << err;
        } else {
            EXPECT_EQ(err, "");
        }
    }
}

TEST(ConfigureGate, FatalErrorsEndTheHostBeforeLaterLines) {
    struct Case {
        const char* name;
        std::string line;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"protocol 2", configure_line(R"(,"protocol":2)"), PROTOCOL_MISMATCH},
        {"protocol 2 without models", R"({"op":"configure","protocol":2})", PROTOCOL_MISMATCH},
        {"protocol 2^32 + 1", configure_line(R"(,"protocol":4294967297)"), PROTOCOL_MISMATCH},
        {"protocol 1 - 2^32", configure_line(R"(,"protocol":-4294967295)"), PROTOCOL_MISMATCH},
        {"no model", R"({"op":"configure","vad_model":"v.bin"})", BAD_CONFIGURE},
        {"no vad_model", R"({"op":"configure","model":"m.bin"})", BAD_CONFIGURE},
        {"empty model", R"({"op":"configure","model":"","vad_model":"v.bin"})", BAD_CONFIGURE},
        {"empty vad_model", R"({"op":"configure","model":"m.bin","vad_model":""})", BAD_CONFIGURE},
        {"neither path", R"({"op":"configure"})", BAD_CONFIGURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostProcess host = start_scripted();
        send(host, c.line + "\n" + R"({"op":"flush"})" + "\n" + configure_line() + "\n");
        EXPECT_EQ(wait_exit(host, WAIT_MS), 2);
        EXPECT_EQ(read_all_stdout(host, WAIT_MS), std::string(c.expected) + "\n");
    }
}

TEST(ConfigureGate, ProtocolOneInAnyNumericFormIsAccepted) {
    for (const char* extra : {"", R"(,"protocol":1)", R"(,"protocol":1.0)", R"(,"protocol":true)"}) {
        SCOPED_TRACE(extra);
        HostProcess host = start_scripted();
        send_line(host, configure_line(extra));
        std::string line;
        ASSERT_TRUE(read_line(host, line, WAIT_MS));
        const auto ready = parse_event(line);
        EXPECT_EQ(ready.value("ev", ""), "ready") << line;
        EXPECT_EQ(ready.value("protocol", 0), 1) << line;
        close_input(host);
        EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    }
}

}  // namespace
