#include "plaintcp.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace
{

// Refused banners and the other escapes are met on the command line and by a client.
TEST(Plaintcp, DecodesHexEscapesOfEitherCaseAndAnEmptyText)
{
    for (std::string text : {"\\xfF\\xA0", ""}) {
        uint32_t len = 12345;
        uint8_t *buf = decode_banner(text.c_str(), &len);
        ASSERT_NE(buf, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), len), text.empty() ? "" : "\xff\xa0");
        free(buf);
    }
}

} // namespace
