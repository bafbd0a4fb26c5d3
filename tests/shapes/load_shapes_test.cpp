// The larger shapes pass the host's model-file check and load on the CPU. Each is made in a
// scratch file and removed after its "ready". For time, medium and large-v3 (1.5 and 3 GB) are
// left out: small has the layout of every 80-mel shape, and large-v3-turbo the 128 mel bins,
// 51866 tokens and 32 encoder layers of large-v3, and a decoder of a different depth.
#include "shapes_session.h"

namespace {

using namespace real;
using nlohmann::json;

struct LoadCase {
    const char* name;
    const char* args;
};

TEST_F(RealHost, LargerShapesLoad) {
    const std::vector<LoadCase> cases = {
        {"small.en", "--shape small"},
        {"large-v3-turbo", "--shape large-v3-turbo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const shapes::ScratchModel model(std::string(c.name) + ".bin");
        shapes::make_model(model, c.args);
        HostProcess host = start_real();
        const json ready = configure(host, model.path, {{"backend", "cpu"}});
        EXPECT_EQ(ready.value("ev", ""), "ready") << ready.dump();
        EXPECT_EQ(ready.value("model", ""), model.path.substr(model.path.rfind('/') + 1));
    }
}

}  // namespace
