// Runs a fuzz target once over every file in the folders given, so that builds without libFuzzer
// (plain, sanitizers, the cross build) still check the kept inputs and the targets' own checks.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; i++) {
        std::error_code ec; // a missing folder gives no inputs, which fails
        for (const auto &e : std::filesystem::directory_iterator(argv[i], ec)) {
            if (e.path().filename().native()[0] == '.') {
                continue;
            }
            std::ifstream in(e.path(), std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
            inputs++;
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        }
    }
    printf("%d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
