// The Silero VAD model the real-library tests load: the repository's own copy (TEST_VAD_MODEL,
// set by the tests' CMake), or the file VOICE_HOST_TEST_VAD_MODEL names. It is part of the
// checkout, so a test that needs it fails without it: a suite that skipped every real VAD pass
// would still look green.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

inline std::string test_vad_model() {
    const char* over = std::getenv("VOICE_HOST_TEST_VAD_MODEL");
    return over != nullptr && *over != '\0' ? over : TEST_VAD_MODEL;
}

// Empty when the model's first byte can be read; otherwise the reason, as a failure message.
inline std::string test_vad_model_problem() {
    const std::string path = test_vad_model();
    std::ifstream in(path, std::ios::binary);
    char first = 0;
    if (in.read(&first, 1)) return "";
    return "VAD model missing or unreadable: " + path +
           " (the repository carries it in models/; VOICE_HOST_TEST_VAD_MODEL names another)";
}
