// The decoder's initial prompt: the application's prompt, cut after collapsing, joined with
// the tail of the last final.
#include "scripted_support.h"

#include <gtest/gtest.h>

namespace {

using namespace scripted;

std::string repeat(const std::string& part, size_t times, const std::string& separator = "") {
    std::string out;
    for (size_t i = 0; i < times; ++i) out += (i > 0 ? separator : "") + part;
    return out;
}

const std::string E_ACUTE = "\xC3\xA9";
const std::string REPLACEMENT = "\xEF\xBF\xBD";  // how the call log shows a split character

struct PromptCase {
    std::string name;
    std::string text;
    json stored;
};

std::vector<PromptCase> prompt_cases() {
    return {
        {"exactly_600_bytes", repeat("a", 600), repeat("a", 600)},
        {"601_bytes_lose_the_last", repeat("a", 600) + "b", repeat("a", 600)},
        {"limit_counts_after_collapsing", repeat("abc", 150, "\t\n  "), repeat("abc", 150, " ")},
        {"cut_may_end_in_a_space", repeat("ab", 400, "  "), repeat("ab ", 200)},
        {"cut_counts_bytes", "a" + repeat(E_ACUTE, 300), "a" + repeat(E_ACUTE, 299) + REPLACEMENT},
        {"trimmed_and_folded", "  hello \t world\r\n", "hello world"},
        {"vertical_tab_is_text", "a\vb", "a\vb"},
        {"blanks_only", " \t\r\n ", nullptr},
        {"empty", "", nullptr},
    };
}

class PromptRule : public ::testing::TestWithParam<PromptCase> {};

TEST_P(PromptRule, SameForConfigureAndThePromptCommand) {
    const PromptCase& c = GetParam();
    {
        ScriptedHost host = start_scripted(json::object(), "configure");
        configure(host, {{"prompt", c.text}});
        EXPECT_EQ(warm_ups(host).at(0)["initial_prompt"], c.stored);
        say(host, tone(3, 3200));
        EXPECT_EQ(last_decode(host)["initial_prompt"], c.stored);
    }
    {
        ScriptedHost host = start_scripted(json::object(), "command");
        configure(host, {{"prompt", "replaced"}});
        send_line(host.process, json{{"op", "prompt"}, {"text", c.text}}.dump());
        say(host, tone(3, 3200));
        EXPECT_EQ(last_decode(host)["initial_prompt"], c.stored);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PromptRule, ::testing::ValuesIn(prompt_cases()), case_name);

TEST(PromptCommand, BeforeConfigureIsReplacedByConfigure) {
    const std::pair<json, json> cases[] = {{json::object(), nullptr}, {{{"prompt", "mine"}}, "mine"}};
    int row = 0;
    for (const auto& [extra, stored] : cases) {
        ScriptedHost host = start_scripted(json::object(), std::to_string(row++));
        send_line(host.process, R"({"op":"prompt","text":"early"})");
        EXPECT_TRUE(barrier(host.process, WAIT_MS).empty()) << "a prompt gets no answer";
        configure(host, extra);
        EXPECT_EQ(warm_ups(host).at(0)["initial_prompt"], stored);
        say(host, tone(3, 3200));
        EXPECT_EQ(last_decode(host)["initial_prompt"], stored);
    }
}

TEST(PromptCommand, WithoutTextClearsAndWrongTypeIsRefused) {
    ScriptedHost host = start_scripted();
    configure(host, {{"prompt", "mine"}});
    send_line(host.process, R"({"op":"prompt","text":5})");
    EXPECT_EQ(barrier(host.process, WAIT_MS),
              std::vector<std::string>{error_line("bad_command", "prompt key \"text\" must be a string", false)});
    say(host, tone(3, 3200));
    EXPECT_EQ(last_decode(host)["initial_prompt"], "mine");

    send_line(host.process, R"({"op":"reset"})");
    send_line(host.process, R"({"op":"prompt"})");
    say(host, tone(3, 3200));
    EXPECT_EQ(last_decode(host)["initial_prompt"], nullptr);
}

TEST(PromptContext, JoinedWithTheLastFinalUntilReset) {
    ScriptedHost host = start_scripted({{"words", {{"3", "first words"}}}});
    configure(host, {{"prompt", "Dictation:"}});
    const auto prompt_of_next_final = [&](int level) {
        say(host, tone(level, 3200));
        return last_decode(host)["initial_prompt"];
    };
    EXPECT_EQ(prompt_of_next_final(3), "Dictation:");
    EXPECT_EQ(prompt_of_next_final(4), "Dictation: first words") << "a flush keeps the context";
    EXPECT_EQ(prompt_of_next_final(5), "Dictation: w4") << "only the latest final counts";

    send_line(host.process, R"({"op":"prompt","text":"New"})");
    EXPECT_EQ(prompt_of_next_final(6), "New w5");

    send_line(host.process, R"({"op":"reset"})");
    EXPECT_EQ(prompt_of_next_final(2), "New");

    send_line(host.process, R"({"op":"prompt","text":""})");
    EXPECT_EQ(prompt_of_next_final(2), "w2");
}

struct ContextCase {
    std::string name;
    std::string final_text;
    std::string context;
};

// A final's text is collapsed, so it never ends in a space: the tail rule's case of a space
// as the very last byte cannot arise from a final.
std::vector<ContextCase> context_cases() {
    return {
        {"short_text_whole", "a few words", "a few words"},
        {"200_bytes_whole", repeat("a", 200), repeat("a", 200)},
        {"200_bytes_with_spaces_whole", repeat("word", 40, " ") + "s", repeat("word", 40, " ") + "s"},
        {"201_bytes_without_space", repeat("b", 201), repeat("b", 200)},
        {"space_opens_the_last_200", "a " + repeat("c", 199), repeat("c", 199)},
        {"space_before_the_last_byte", repeat("a", 199) + " z", "z"},
        {"first_space_inside_the_last_200", repeat("x", 100) + " " + repeat("y", 150) + " " + repeat("z", 49),
         repeat("z", 49)},
        {"first_of_several_spaces_inside_the_last_200",
         repeat("x", 120) + " " + repeat("y", 100) + " " + repeat("z", 50) + " " + repeat("w", 30),
         repeat("y", 100) + " " + repeat("z", 50) + " " + repeat("w", 30)},
        {"space_just_before_the_last_200", repeat("x", 100) + " " + repeat("y", 200), repeat("y", 200)},
        {"cut_counts_bytes", repeat(E_ACUTE, 100) + "a", REPLACEMENT + repeat(E_ACUTE, 99) + "a"},
    };
}

class PromptContextTail : public ::testing::TestWithParam<ContextCase> {};

TEST_P(PromptContextTail, LastFinalFeedsTheNextDecode) {
    const ContextCase& c = GetParam();
    ScriptedHost host = start_scripted({{"words", {{"5", c.final_text}}}});
    configure(host);
    const auto finals = events(say(host, tone(5, 3200)), "final");
    ASSERT_EQ(finals.size(), 1u);
    EXPECT_EQ(finals[0]["text"], c.final_text);
    say(host, tone(2, 3200));
    EXPECT_EQ(last_decode(host)["initial_prompt"], c.context);
}

INSTANTIATE_TEST_SUITE_P(Table, PromptContextTail, ::testing::ValuesIn(context_cases()), case_name);

}  // namespace
