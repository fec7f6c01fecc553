#include <zel/application.h>
#include <zel/xstd.h>

#include <gtest/gtest.h>

namespace {

using zel::xstd::uuid;

TEST(Uuid, PartsMatchTheTextInReadingOrder) {
    const uuid app = zel::application::iApplication::IID;
    EXPECT_EQ(uuid::parse("E2344DED-503E-45CD-8F17-6D60F12D815D"), app);
    EXPECT_EQ(app.toString(), "E2344DED-503E-45CD-8F17-6D60F12D815D");
    const uuid parts(0x01234567, 0x89AB, 0xCDEF, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE);
    EXPECT_EQ(parts.toString(), "01234567-89AB-CDEF-1032-547698BADCFE");
    EXPECT_TRUE(uuid().isNull());
    EXPECT_EQ(uuid().toString(), "00000000-0000-0000-0000-000000000000");
}

TEST(Uuid, TextRoundTripsInAnyCase) {
    const char* texts[] = {
        "F0B60ABD-B582-4454-822E-F87F684564A5", "f0b60abd-b582-4454-822e-f87f684564a5",
        "F0b60AbD-b582-4454-822E-f87F684564a5", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF",
        "00000000-0000-0000-0000-000000000000"};
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const auto id = uuid::parse(text);
        ASSERT_TRUE(id.has_value());
        std::string upper = text;
        for (char& c : upper)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(id->toString(), upper);
        EXPECT_EQ(uuid::parse(id->toString()), id);
    }
}

TEST(Uuid, MalformedTextIsRefused) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"one digit short", "E2344DED-503E-45CD-8F17-6D60F12D815"},
        {"one digit long", "E2344DED-503E-45CD-8F17-6D60F12D815D0"},
        {"no hyphens", "E2344DED503E45CD8F176D60F12D815D"},
        {"hyphen missing, digit added", "E2344DED0503E-45CD-8F17-6D60F12D815D"},
        {"hyphen moved", "E2344DE-D503E-45CD-8F17-6D60F12D815D"},
        {"hyphen for a digit", "E2344DED-503E-45CD-8F17-6D60F12D815-"},
        {"non-hex letter", "E2344DED-503E-45CD-8F17-6D60F12D815G"},
        {"braces", "{E2344DED-503E-45CD-8F17-6D60F12D815D}"},
        {"blank", " E2344DED-503E-45CD-8F17-6D60F12D815D"},
        {"blank inside", "E2344DED-503E-45CD-8F17-6D60F12 815D"},
        {"plus sign", "+2344DED-503E-45CD-8F17-6D60F12D815D"},
        {"embedded NUL", std::string("E2344DED-503E-45CD-8F17-6D60F12D815", 35) + '\0'},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(uuid::parse(c.text).has_value());
    }
}

} // namespace
