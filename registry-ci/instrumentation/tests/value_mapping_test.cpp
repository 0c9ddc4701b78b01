#include <gtest/gtest.h>

#include "rokin_routines.h"
#include "value_mapping.h"

namespace {

constexpr uint32_t kComponent = 201, kHandle = 0x5002;

class ValueMapping : public ::testing::Test {
protected:
    void SetUp() override { UseHandle(kComponent, kHandle); }

    // Attribute `attribute` of the value `name` of key V, or "<none>".
    std::string Attribute(const std::string &name, uint32_t attribute, uint32_t item = 0)
    {
        RowKeys keys({tree.Root("V"), name, item});
        AttributeValue *v = RokinGetValue(kComponent, 3, attribute, 3, keys.entries);
        if (!v)
            return "<none>";
        EXPECT_EQ(v->attributeId, attribute);
        if (v->dataType == 1)
            return "#" + std::to_string(*static_cast<uint32_t *>(v->value));
        EXPECT_EQ(v->dataType, 8u);
        return Text(v);
    }

    // The bytes the registry hands back for a value: a REG_SZ stored without its
    // terminating zero reads back without it on Windows, with it under Wine.
    std::string Stored(const std::string &name)
    {
        char data[64];
        DWORD size = sizeof data;
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, tree.Path("V").c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return "<none>";
        LONG r = RegQueryValueExA(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        return r == ERROR_SUCCESS ? std::string(data, size) : "<none>";
    }

    RegistryTree tree{"SOFTWARE\\RokinValueTest"};
};

TEST_F(ValueMapping, EachRegistryTypeHasItsText)
{
    const unsigned char bytes[] = {0x0A, 0xFF};
    std::vector<unsigned char> thousand(1000, 0x41);
    std::string hex681;
    for (int i = 0; i < 681; i++)
        hex681 += "41 ";
    tree.Number("V", "dword300", 300).Number("V", "dwordMax", 0xFFFFFFFFu);
    tree.Set("V", "bin", REG_BINARY, bytes, 2).Set("V", "binEmpty", REG_BINARY, nullptr, 0);
    tree.Set("V", "bin1000", REG_BINARY, thousand.data(), 1000);
    tree.Text("V", "szTerminated", "abc", true).Text("V", "szBare", "abc", false);
    tree.Text("V", "sz5000", std::string(5000, 'q'));
    tree.Set("V", "expand", REG_EXPAND_SZ, "%PATH%", 7);
    tree.Set("V", "bigEndian", REG_DWORD_BIG_ENDIAN, bytes, 2);

    struct {
        const char *name;
        std::string text;
    } cases[] = {
        {"dword300", "300"},
        {"dwordMax", "4294967295"},
        {"bin", "0A FF "},
        {"binEmpty", ""},
        {"bin1000", hex681},
        {"szTerminated", std::string("abc\0", 4)},
        {"szBare", Stored("szBare")},
        {"sz5000", std::string(2048, 'q')},
        {"expand", std::string("%PATH%\0", 7)},
        {"bigEndian", "0A FF "},
    };
    for (auto &c : cases)
        EXPECT_EQ(Attribute(c.name, 5), c.text) << c.name;
    EXPECT_EQ(Attribute("dword300", 3), "4");
    EXPECT_EQ(Attribute("dword300", 1), tree.Root("V"));
    EXPECT_EQ(Attribute("dword300", 2), "dword300");
    EXPECT_EQ(Attribute("dword300", 4), "#0");
    EXPECT_EQ(Attribute("dword300", 6), "<none>");
    EXPECT_EQ(Attribute("", 5), "<none>") << "the key has no default value";
}

TEST_F(ValueMapping, MultiStringItemsAndOnesBeyondTheLast)
{
    const char data[] = "one\0two\0";
    tree.Set("V", "multi", REG_MULTI_SZ, data, sizeof data);
    EXPECT_EQ(Attribute("multi", 5, 0), "one");
    EXPECT_EQ(Attribute("multi", 5, 1), "two");
    EXPECT_EQ(Attribute("multi", 4, 1), "#1");
    EXPECT_EQ(Attribute("multi", 5, 2), "<none>");
}

TEST_F(ValueMapping, ARowWhoseValueIsGoneHasNoAttributes)
{
    tree.Text("V", "kept", "k").Text("V", "gone", "g");
    tree.Delete("V", "gone");
    for (uint32_t a = 1; a <= 5; a++)
        EXPECT_EQ(Attribute("gone", a), "<none>") << a;
    EXPECT_EQ(Attribute("kept", 5), std::string("k\0", 2));
    RowKeys missingKey({tree.Root("Missing"), "kept", 0});
    EXPECT_EQ(RokinGetValue(kComponent, 3, 1, 3, missingKey.entries), nullptr);
}

TEST_F(ValueMapping, TheCacheAnswersRepeatedReadsOfOneValue)
{
    tree.Text("V", "a", "before").Text("V", "b", "other").Text("V", "", "default");
    EXPECT_EQ(Attribute("a", 5), std::string("before\0", 7));
    tree.Text("V", "a", "after");
    EXPECT_EQ(Attribute("a", 5), std::string("before\0", 7)) << "read once, kept for the next request";
    EXPECT_EQ(Attribute("b", 5), std::string("other\0", 6));
    EXPECT_EQ(Attribute("a", 5), std::string("after\0", 6)) << "another value in between reads it again";
    EXPECT_EQ(Attribute("", 5), std::string("default\0", 8)) << "the default value is a value like any other";
}

TEST(TextForms, HexBytesAndMultiStrings)
{
    char text[2048];
    const unsigned char bytes[] = {0x00, 0x7F, 0x80};
    EXPECT_EQ(FormatHexBytes(bytes, 3, text), 9u);
    EXPECT_STREQ(text, "00 7F 80 ");
    const unsigned char multi[] = "a\0bb\0\0c";
    const char *s;
    uint32_t len;
    ASSERT_TRUE(PickMultiString(multi, sizeof multi, 1, &s, &len));
    EXPECT_EQ(std::string(s, len), "bb");
    EXPECT_FALSE(PickMultiString(multi, sizeof multi, 2, &s, &len)) << "the empty string ends the list";
    const unsigned char unterminated[] = {'a', 0, 'b', 'c'};
    ASSERT_TRUE(PickMultiString(unterminated, 4, 1, &s, &len));
    EXPECT_EQ(std::string(s, len), "bc") << "never read past the data";
    EXPECT_FALSE(PickMultiString(unterminated, 4, 0xFFFFFFFFu, &s, &len));
}

} // namespace
