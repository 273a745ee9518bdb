// Runs a fuzz target over files or folders of inputs without libFuzzer, so
// every input that ever found a fault stays a regression test under any
// compiler. A fault aborts the process; a missing path or no input at all
// fails the run, so a misplaced corpus cannot pass unnoticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path p(argv[i]);
        if (std::filesystem::is_directory(p)) {
            for (const auto& e : std::filesystem::recursive_directory_iterator(p))
                if (e.is_regular_file()) inputs.push_back(e.path());
        } else if (std::filesystem::is_regular_file(p)) {
            inputs.push_back(p);
        } else {
            std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs\n");
        return 1;
    }
    // A fixed order, so a failing run names the same input every time.
    std::sort(inputs.begin(), inputs.end());
    for (const auto& p : inputs) {
        std::ifstream f(p, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f.good() && !f.eof()) {
            std::fprintf(stderr, "replay: cannot read %s\n", p.c_str());
            return 1;
        }
        std::fprintf(stderr, "replay: %s\n", p.c_str());
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
