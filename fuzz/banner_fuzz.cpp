// The banner decoder takes any text from the command line: it must reject or decode it
// without reading or writing past either buffer, and a decoded banner is never longer
// than its text.
#include "plaintcp.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The command line hands over a C string: stop at the first zero byte as it would.
    std::string text(reinterpret_cast<const char *>(data), size);
    uint32_t len = 0;
    uint8_t *banner = decode_banner(text.c_str(), &len);
    if (banner != nullptr && len > text.size()) {
        abort();
    }
    free(banner);
    return 0;
}
