// Replays inputs through a fuzz target without libFuzzer: each file named on the command line,
// and each file of each directory named (sorted by name, names starting with '.' left out), is
// given to LLVMFuzzerTestOneInput once. A path that does not exist, or nothing to replay, fails.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace fs = std::filesystem;

int main(int argc, char **argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path path(argv[i]);
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            std::vector<fs::path> entries;
            for (const auto &entry : fs::directory_iterator(path, ec)) {
                if (entry.is_regular_file() && entry.path().filename().string().front() != '.') {
                    entries.push_back(entry.path());
                }
            }
            std::sort(entries.begin(), entries.end());
            files.insert(files.end(), entries.begin(), entries.end());
        } else if (fs::is_regular_file(path, ec)) {
            files.push_back(path);
        } else {
            std::fprintf(stderr, "replay: %s: no such file or directory\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    for (const fs::path &file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            std::fprintf(stderr, "replay: %s: cannot read\n", file.c_str());
            return 2;
        }
        std::fprintf(stderr, "replay: %s (%zu bytes)\n", file.c_str(), bytes.size());
        // A copy of exactly the input's size, so reads past its end are caught.
        std::vector<uint8_t> input(bytes.begin(), bytes.end());
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replay: %zu inputs, all passed\n", files.size());
    return 0;
}
