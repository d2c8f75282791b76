#include "platform/Netrc.h"
#include "TestEnvironment.h"

#include <gtest/gtest.h>

namespace
{

// The file is read as libcurl reads it, so that a password is asked for exactly when libcurl would
// find none.
TEST(Netrc, ThePasswordOfTheHostAndUserIsFoundAsLibcurlFindsIt)
{
    ScratchDir dir;
    const QString path =
        dir.write(".netrc", "# comment\n"
                            "machine mail.example.jp login hanako password hana\n"
                            "machine MAIL.example.jp\n  login taro\n  password \"s3 \\\"cret\"\n"
                            "macdef init\nmachine mail.example.jp login jiro password macro\n\n"
                            "machine other.example.jp login jiro password other\n"
                            "default login jiro password fallback\n");
    EXPECT_EQ(netrcPassword(path, "mail.example.jp", "taro"), QString("s3 \"cret"));
    EXPECT_EQ(netrcPassword(path, "mail.example.jp", "hanako"), QString("hana"));
    // A macro's text is no entry; the default entry matches any host.
    EXPECT_EQ(netrcPassword(path, "mail.example.jp", "jiro"), QString("fallback"));
    EXPECT_EQ(netrcPassword(path, "other.example.jp", "jiro"), QString("other"));
    EXPECT_FALSE(netrcPassword(path, "mail.example.jp", "saburo"));
    EXPECT_FALSE(netrcPassword(dir.path("missing"), "mail.example.jp", "taro"));
    const QString noPassword = dir.write("nopass", "machine mail.example.jp login taro\n");
    EXPECT_FALSE(netrcPassword(noPassword, "mail.example.jp", "taro"));
}

} // namespace
