// Runs a fuzz target once over every file in the folders given, so that builds without libFuzzer
// (plain, sanitizers, the cross build) still check the kept inputs and the targets' own checks.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; i++) {
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr) {
            perror(argv[i]);
            return 2;
        }
        while (const dirent *e = readdir(dir)) {
            if (e->d_name[0] == '.') {
                continue;
            }
            std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
            const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
            inputs++;
        }
        closedir(dir);
    }
    printf("%d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
