// A plain main for the fuzz targets: each file named on the command line,
// and each file below each directory named, goes through the target once.
// This is how the seeds and the saved crash inputs run without libFuzzer,
// in the normal test run and under any sanitizer or debugger.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

// Notes beside the inputs (README.md) are not inputs.
bool is_input(const fs::path& file) {
    return file.extension() != ".md";
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);

    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path given(argv[i]);
        std::error_code error;
        if (fs::is_directory(given, error)) {
            for (const auto& entry : fs::recursive_directory_iterator(given))
                if (entry.is_regular_file() && is_input(entry.path()))
                    inputs.push_back(entry.path());
        } else if (fs::is_regular_file(given, error)) {
            inputs.push_back(given);
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 2;
        }
    }
    std::sort(inputs.begin(), inputs.end());

    for (const fs::path& input : inputs) {
        std::ifstream stream(input, std::ios::binary);
        const std::vector<uint8_t> data((std::istreambuf_iterator<char>(stream)),
                                        std::istreambuf_iterator<char>());
        if (!stream.eof() && stream.fail()) {
            std::fprintf(stderr, "%s: cannot be read\n", input.string().c_str());
            return 2;
        }
        std::fprintf(stderr, "replaying %s\n", input.string().c_str());
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::fprintf(stderr, "%zu inputs replayed without a fault\n", inputs.size());
    // Nothing to replay means the paths are wrong, not that all is well.
    return inputs.empty() ? 1 : 0;
}
