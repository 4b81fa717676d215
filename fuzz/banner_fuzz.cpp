// The banner decoder takes any text from the command line (a C string, so it ends at the first
// zero byte): it rejects or decodes it within both buffers, never into more bytes than the text.
#include "plaintcp.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    uint32_t len = 0;
    uint8_t *banner = decode_banner(text.c_str(), &len);
    if (banner != nullptr && len > text.size()) {
        abort();
    }
    free(banner);
    return 0;
}
