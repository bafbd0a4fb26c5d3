// Copies of the generated models quantized by whisper.cpp's own whisper-quantize. Block types
// take rows of 32 values, k-quants rows of 256, so those come from base (512 wide) and the
// others from tiny (384 wide).
#include <unistd.h>

#include "shapes_session.h"

namespace {

using namespace real;

struct QuantizedCase {
    const char* type;
    const char* source;
};

bool quantizer_missing(std::string& why) {
    const std::string quantizer = WHISPER_QUANTIZE;
    if (quantizer.empty()) why = "whisper-quantize was not found when the tests were configured";
    else if (access(quantizer.c_str(), X_OK) != 0) why = quantizer + " cannot be run";
    return !why.empty();
}

void quantize(const std::string& source, const shapes::ScratchModel& out, const std::string& type) {
    run(quoted(WHISPER_QUANTIZE) + " " + quoted(source) + " " + quoted(out.path) + " " + type + " >" +
        quoted(out.path + ".log") + " 2>&1");
}

TEST_F(RealSpeech, QuantizedCopiesSayTheirPhrase) {
    std::string why;
    if (quantizer_missing(why)) GTEST_SKIP() << why;
    const std::vector<QuantizedCase> cases = {
        {"q8_0", TINY_EN_MODEL},
        {"q5_1", TINY_EN_MODEL},
        {"q4_0", TINY_EN_MODEL},
        {"q4_k", BASE_MODEL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const shapes::ScratchModel model(std::string(c.type) + ".bin");
        quantize(c.source, model, c.type);
        expect_phrase_once(stream_utterance(model.path, STREAM_SETTINGS));
    }
}

// whisper-quantize cuts 384-wide rows into one 256-value k-quant block and succeeds anyway; the
// host must refuse the result rather than hand it to the library.
TEST_F(RealHost, KQuantsOfRowsThatSplitABlockAreRefused) {
    std::string why;
    if (quantizer_missing(why)) GTEST_SKIP() << why;
    const shapes::ScratchModel model("tiny-q4_k.bin");
    quantize(TINY_EN_MODEL, model, "q4_k");
    HostProcess host = start_real();
    send_line(host, configure_line(model.path, test_vad_model()));
    EXPECT_EQ(wait_exit(host, WAIT_MS), 3);
    const std::string refusal =
        R"({"code":"model_load_failed","ev":"error","fatal":true,"message":"could not load speech model"})";
    EXPECT_EQ(read_all_stdout(host, WAIT_MS), refusal + "\n");
}

}  // namespace
