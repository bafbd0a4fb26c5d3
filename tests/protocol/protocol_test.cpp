// The command channel line by line: the feature-probe mode, framing, lines that are not
// commands, and ops the host does not know.
#include "protocol_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace protocol;
using namespace std::string_literals;

struct LineCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> expected;
};

std::string joined(const std::vector<std::string>& args) {
    std::string text = "arguments:";
    for (const auto& arg : args) text += " " + arg;
    return text;
}

void expect_answers(const std::vector<LineCase>& cases, const char* exe = SCRIPTED_HOST_EXE) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(answers_to(c.bytes, exe), c.expected);
    }
}

TEST(CpuFeatures, PrintsTheConstantLineAndExits) {
    const std::vector<std::vector<std::string>> arg_lists = {
        {"--cpu-features"},
        {"--cpu-features", "--verbose", "extra"},
    };
    for (const auto& args : arg_lists) {
        SCOPED_TRACE(joined(args));
        HostProcess host = start_scripted({}, args);
        EXPECT_EQ(read_all_stdout(host, WAIT_MS), "{\"avx2\":false,\"f16c\":false,\"fma\":false}\n");
        EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    }
}

TEST(CpuFeatures, OtherFirstArgumentsStartTheCommandLoop) {
    const std::vector<std::vector<std::string>> arg_lists = {
        {},
        {"--cpu-features2"},
        {"--cpu-features=1"},
        {"--serve", "--cpu-features"},
    };
    for (const auto& args : arg_lists) {
        SCOPED_TRACE(joined(args));
        HostProcess host = start_scripted({}, args);
        send_line(host, R"({"op":"flush"})");
        close_input(host);
        EXPECT_EQ(read_all_stdout(host, WAIT_MS), std::string(FLUSHED) + "\n");
        EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
    }
}

TEST(Framing, LinesThatAreNotOneJsonObjectAreBadJson) {
    const std::vector<std::pair<const char*, std::string>> lines = {
        {"blanks", "   \t "},
        {"lone carriage return", "\r"},
        {"empty array", "[]"},
        {"array holding a command", R"([{"op":"flush"}])"},
        {"string", R"("flush")"},
        {"integer", "42"},
        {"fraction", "-1.5e3"},
        {"true", "true"},
        {"null", "null"},
        {"two objects", R"({"op":"flush"}{"op":"flush"})"},
        {"two objects with a blank", R"({"op":"flush"} {"op":"flush"})"},
        {"trailing text", R"({"op":"flush"} x)"},
        {"trailing comma", R"({"op":"flush"},)"},
        {"block comment inside", R"({"op":"flush" /* now */})"},
        {"line comment after", R"({"op":"flush"} // now)"},
        {"invalid byte in a string", "{\"op\":\"fl\xffush\"}"},
        {"truncated sequence in a string", "{\"op\":\"flush\",\"x\":\"\xc3(\"}"},
        {"encoded surrogate in a string", "{\"op\":\"flush\",\"x\":\"\xed\xa0\x80\"}"},
        {"raw tab in a string", "{\"op\":\"flu\tsh\"}"},
        {"raw control byte in a string", "{\"op\":\"flush\",\"x\":\"a\x01\"}"},
        {"NUL and text after the object", "{\"op\":\"flush\"}\0junk"s},
        {"NUL alone after the object", "{\"op\":\"flush\"}\0"s},
        {"NUL first", "\0{\"op\":\"flush\"}"s},
        {"NUL inside a string", "{\"op\":\"fl\0ush\"}"s},
    };
    std::vector<LineCase> cases;
    for (const auto& [name, line] : lines) cases.push_back({name, line + "\n", {BAD_JSON}});
    // The shipped binary too: the parse is main.cpp's own, whichever library is linked under it.
    for (const char* exe : {SCRIPTED_HOST_EXE, VOICE_HOST_EXE}) {
        SCOPED_TRACE(exe);
        expect_answers(cases, exe);
    }
}

TEST(Framing, AcceptedLineForms) {
    expect_answers({
        {"carriage return before the line feed", "{\"op\":\"flush\"}\r\n", {FLUSHED}},
        {"byte-order mark at line start", "\xEF\xBB\xBF{\"op\":\"flush\"}\n", {FLUSHED}},
        {"JSON whitespace around the object", " \t{\"op\":\"flush\"}\t \r\n", {FLUSHED}},
        {"empty lines yield nothing", "\n\n\n", {}},
        {"empty lines between commands", "\n{\"op\":\"flush\"}\n\n{\"op\":\"flush\"}\n", {FLUSHED, FLUSHED}},
    });
}

TEST(Framing, LastLineWithoutLineFeedIsHandledBeforeExit) {
    HostProcess host = start_scripted();
    send(host, R"({"op":"flush"})");
    close_input(host);
    EXPECT_EQ(read_all_stdout(host, WAIT_MS), std::string(FLUSHED) + "\n");
    EXPECT_EQ(wait_exit(host, WAIT_MS), 0);
}

TEST(Commands, UnknownOpsAreNamedInBadCommand) {
    expect_answers({
        {"no op", "{}\n", {bad_command("unknown op: ")}},
        {"empty op", "{\"op\":\"\"}\n", {bad_command("unknown op: ")}},
        {"case differs", "{\"op\":\"Flush\"}\n", {bad_command("unknown op: Flush")}},
        {"raw UTF-8 op", "{\"op\":\"fl\xc3\xbcsh\"}\n", {bad_command("unknown op: fl\xc3\xbcsh")}},
        {"escaped non-ASCII op", "{\"op\":\"fl\\u00fcsh\"}\n", {bad_command("unknown op: fl\xc3\xbcsh")}},
    });
}

TEST(Commands, WrongTypedMembersAreReportedAndTheHostGoesOn) {
    const std::string op_message = bad_command("op must be a string");
    const std::string text_message = bad_command(R"(prompt key \"text\" must be a string)");
    expect_answers({
        {"null op", "{\"op\":null}\n", {op_message}},
        {"number op", "{\"op\":3}\n", {op_message}},
        {"array op", "{\"op\":[\"flush\"]}\n", {op_message}},
        {"object op", "{\"op\":{\"name\":\"flush\"}}\n", {op_message}},
        {"number text", "{\"op\":\"prompt\",\"text\":7}\n", {text_message}},
        {"null text", "{\"op\":\"prompt\",\"text\":null}\n", {text_message}},
        {"array text", "{\"op\":\"prompt\",\"text\":[\"hi\"]}\n", {text_message}},
        {"then a flush", "{\"op\":null}\n{\"op\":\"flush\"}\n", {op_message, FLUSHED}},
    });
}

TEST(Commands, ResetAndFlushBeforeConfigure) {
    expect_answers({
        {"reset is silent", "{\"op\":\"reset\"}\n", {}},
        {"flush answers flushed only", "{\"op\":\"flush\"}\n", {FLUSHED}},
    });
}

}  // namespace
