// Live streaming through the real VAD: finals cut at pauses and in long speech, partials that
// name the final to come, silence that costs nothing, and the final of a flush.
#include <random>

#include "real_session.h"

namespace {

using namespace real;
using nlohmann::json;

const std::vector<std::string> SENTENCES = {
    "the quick brown fox jumps over the lazy dog and keeps running across the field",
    "a long stretch of speech lets the buffer grow until the host has to cut it",
    "every sentence here follows the one before it without any silence between them",
    "speech recognition hosts bound their buffers so that decoding stays fast enough",
    "this paragraph goes on for a while so that the test sees several cuts in a row",
    "numbers like one two three four five six seven eight nine ten fill up the time",
    "the weather today is mild with a light breeze coming from the west over the hills",
    "a dictation app keeps the microphone open while the user thinks about the next words",
    "then the user reads a long list of items from a note without stopping in between",
    "after this the recording ends and the speaker finally takes a breath and stops",
};

std::vector<Seen> joined(std::vector<Seen> a, const std::vector<Seen>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Every final is the text of a final decode, announced by that decode's "metrics".
void expect_finals_after_their_metrics(const std::vector<Seen>& seen) {
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i].ev["ev"] != "final") continue;
        ASSERT_GT(i, 0u);
        EXPECT_EQ(seen[i - 1].ev["ev"], "metrics") << names_of(seen);
        EXPECT_EQ(seen[i - 1].ev.value("kind", ""), "final") << names_of(seen);
        EXPECT_EQ(seen[i].ev["text"], PHRASE);
    }
}

// A partial carries the number of the final that ends its utterance.
void expect_partials_name_the_next_final(const std::vector<Seen>& seen) {
    for (size_t i = 0; i < seen.size(); ++i) {
        if (seen[i].ev["ev"] != "partial") continue;
        EXPECT_EQ(seen[i].ev["text"], PHRASE);
        size_t next = i + 1;
        while (next < seen.size() && seen[next].ev["ev"] != "final") ++next;
        ASSERT_LT(next, seen.size()) << "partial at " << seen[i].sent_ms << " ms never became a final";
        EXPECT_EQ(seen[i].ev["segment"], seen[next].ev["segment"])
            << "partial at " << seen[i].sent_ms << " ms";
    }
}

TEST_F(RealSpeech, FlushDecodesTheUtteranceInProgress) {
    // Too little silence after the voice for an endpoint: the utterance is still open at "flush".
    const Recording rec = lay_out({speak(SENTENCES[0])}, 0.3);
    const int64_t total_ms = ms_of(rec.audio.size());
    HostProcess host = start_streaming();
    const auto streamed = stream_in_steps(host, rec.audio);
    EXPECT_TRUE(events_named(streamed, "final").empty()) << names_of(streamed);
    const auto flushed = flush(host, total_ms);
    ASSERT_EQ(flushed.size(), 3u) << names_of(flushed);

    const json& metrics = flushed[0].ev;
    EXPECT_EQ(metrics["ev"], "metrics");
    EXPECT_EQ(metrics["kind"], "final");
    EXPECT_EQ(metrics["buffer_ms"], total_ms) << "nothing was cut before the flush";
    EXPECT_GT(metrics["rss_mb"].get<int64_t>(), 0);
    EXPECT_GE(metrics["decode_ms"].get<int64_t>(), 0);
    EXPECT_GT(metrics["rtf"].get<double>(), 0.0);

    const json& final = flushed[1].ev;
    EXPECT_EQ(final["ev"], "final");
    EXPECT_EQ(final["segment"], 1);
    EXPECT_EQ(final["text"], PHRASE);
    EXPECT_EQ(final["from_ms"], 0);
    EXPECT_GT(final["to_ms"].get<int64_t>(), 0);
    EXPECT_LE(final["to_ms"].get<int64_t>(), total_ms);
    EXPECT_EQ(flushed[2].ev, json({{"ev", "flushed"}}));

    expect_partials_name_the_next_final(joined(streamed, flushed));
}

TEST_F(RealSpeech, EachUtteranceBetweenPausesGivesOneFinal) {
    const Recording rec = lay_out({speak(SENTENCES[0]), speak(SENTENCES[1]), speak(SENTENCES[2])}, 1.5);
    const int64_t total_ms = ms_of(rec.audio.size());
    HostProcess host = start_streaming();
    const auto seen = joined(stream_in_steps(host, rec.audio), flush(host, total_ms));
    const auto finals = events_named(seen, "final");
    ASSERT_EQ(finals.size(), rec.utterances.size()) << names_of(seen);

    for (size_t k = 0; k < finals.size(); ++k) {
        SCOPED_TRACE("utterance " + std::to_string(k + 1));
        const Span& own = rec.utterances[k];
        const int64_t previous_end = k == 0 ? 0 : rec.utterances[k - 1].to_ms;
        const int64_t next_start = k + 1 < rec.utterances.size() ? rec.utterances[k + 1].from_ms : total_ms;
        const json& final = finals[k].ev;
        EXPECT_EQ(final["segment"], static_cast<int>(k + 1));
        // The cut before this final came after the previous voice ended and before this one began.
        EXPECT_GE(final["from_ms"].get<int64_t>(), previous_end);
        EXPECT_LE(final["from_ms"].get<int64_t>(), own.from_ms);
        EXPECT_GT(final["to_ms"].get<int64_t>(), final["from_ms"].get<int64_t>());
        EXPECT_LE(final["to_ms"].get<int64_t>(), next_start);
        // Cut at the pause that ends it: not before the voice ended, not after the next began.
        EXPECT_GE(finals[k].sent_ms, own.to_ms);
        EXPECT_LE(finals[k].sent_ms, next_start);
    }
    for (const auto& partial : events_named(seen, "partial")) {
        const Span& own = rec.utterances.at(partial.ev["segment"].get<size_t>() - 1);
        EXPECT_GT(partial.sent_ms, own.from_ms) << "partial before its voice began";
    }
    EXPECT_FALSE(events_named(seen, "partial").empty()) << names_of(seen);
    expect_partials_name_the_next_final(seen);
    expect_finals_after_their_metrics(seen);
}

Samples noise(size_t n, int amplitude) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> level(-amplitude, amplitude);
    Samples samples(n);
    for (auto& s : samples) s = static_cast<int16_t>(level(random));
    return samples;
}

struct QuietCase {
    const char* name;
    Samples audio;
};

TEST_F(RealHost, QuietStretchesDecodeNothing) {
    const size_t n = 15 * RATE;
    const std::vector<QuietCase> cases = {
        {"digital silence", Samples(n, 0)},
        {"low white noise", noise(n, 60)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HostProcess host = start_streaming();
        const auto seen = joined(stream_in_steps(host, c.audio), flush(host, ms_of(n)));
        EXPECT_EQ(names_of(seen), "flushed @15000");
    }
}

TEST_F(RealSpeech, LongSpeechWithoutPausesIsCutWithinTheBufferLimit) {
    std::vector<Samples> sentences;
    for (const auto& text : SENTENCES) sentences.push_back(speak(text));
    const Recording rec = lay_out(sentences, 0.0);
    const int64_t total_ms = ms_of(rec.audio.size());
    HostProcess host = start_streaming();
    const auto streamed = stream_in_steps(host, rec.audio);
    const auto seen = joined(streamed, flush(host, total_ms));

    // The limit is checked at each step, so a buffer may pass it by at most one step's audio.
    const int64_t most_ms = static_cast<int64_t>(MAX_BUFFER_S * 1000) + ms_of(STEP);
    for (const auto& m : events_named(seen, "metrics"))
        EXPECT_LE(m.ev["buffer_ms"].get<int64_t>(), most_ms) << "metrics after " << m.sent_ms << " ms sent";

    const auto finals = events_named(seen, "final");
    EXPECT_GE(events_named(streamed, "final").size(), static_cast<size_t>(total_ms / most_ms))
        << names_of(seen);
    ASSERT_GE(finals.size(), 2u) << names_of(seen);
    for (size_t k = 0; k < finals.size(); ++k) {
        EXPECT_EQ(finals[k].ev["segment"], static_cast<int>(k + 1));
        if (k > 0) {
            EXPECT_GT(finals[k].ev["from_ms"].get<int64_t>(), finals[k - 1].ev["from_ms"].get<int64_t>());
        }
        EXPECT_LT(finals[k].ev["from_ms"].get<int64_t>(), total_ms);
    }
    expect_partials_name_the_next_final(seen);
    expect_finals_after_their_metrics(seen);
}

}  // namespace
