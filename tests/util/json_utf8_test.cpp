// UTF-8 checks and repair, and the JSON lines every part of the program writes.
#include <gtest/gtest.h>

#include <string>

#include "util/json_line.h"
#include "util/utf8.h"

namespace {

const std::string R = UTF8_REPLACEMENT;

TEST(Utf8, ValidTextPassesAsItIs) {
    for (const std::string& text :
         {std::string("firmware-\xC3\xBCn\xC3\xAF"
                      "c\xC3\xB8"
                      "d\xC3\xA9-\xE5\x9B\xBA\xE4\xBB\xB6"),
          std::string("plain ASCII"), std::string("\xF0\x9F\x93\xA1 modem"), std::string(),
          std::string("\xF4\x8F\xBF\xBF"), std::string("nul\0inside", 10)}) {
        EXPECT_TRUE(utf8_Valid(text)) << text;
        EXPECT_EQ(utf8_Repaired(text), text);
    }
}

// Each byte that cannot start a character is one U+FFFD, each sequence cut short is one, and
// the byte that cut it starts anew: nothing valid is lost around a bad byte.
TEST(Utf8, EveryInvalidPartBecomesOneReplacementCharacter) {
    struct {
        std::string in, out;
    } cases[] = {
        {"a\xFF"
         "b",
         "a" + R + "b"},
        {"\xC4\xE3\xBA\xC3", R + R + R},  // GBK bytes: a lead alone, a cut pair, a lead at the end
        {"\xE4\xB8"
         "a",
         R + "a"},                            // cut short by 'a'
        {"\xE4\xB8", R},                      // cut short by the end
        {"\xC0\xAF", R + R},                  // an overlong '/'
        {"\xE0\x80\x80", R + R + R},          // overlong, three bytes
        {"\xED\xA0\x80", R + R + R},          // a surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},  // above U+10FFFF
        {"\x80\xBF", R + R},                  // continuation bytes alone
        {"\xE5\x9B"
         "\xE5\x9B\xBA",
         R + "\xE5\x9B\xBA"},  // a cut one, then a whole one
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(utf8_Valid(c.in));
        EXPECT_EQ(utf8_Repaired(c.in), c.out);
        EXPECT_TRUE(utf8_Valid(utf8_Repaired(c.in)));
    }
}

TEST(JsonLine, TextKeepsItsCharactersAndKeysTheirOrder) {
    JsonObject o = {{"type", "check"},
                    {"file",
                     "firmware-\xC3\xBCn\xC3\xAF"
                     "c\xC3\xB8"
                     "d\xC3\xA9-\xE5\x9B\xBA\xE4\xBB\xB6"},
                    {"code", 3},
                    {"size", json_NumberOrNull(-1)},
                    {"quote", "a \"b\" \\ c\n\x01"}};
    EXPECT_EQ(json_Line(o),
              "{\"type\":\"check\",\"file\":\"firmware-\xC3\xBCn\xC3\xAF"
              "c\xC3\xB8"
              "d\xC3\xA9-"
              "\xE5\x9B\xBA\xE4\xBB\xB6\",\"code\":3,\"size\":null,"
              "\"quote\":\"a \\\"b\\\" \\\\ c\\n\\u0001\"}");
}

// The JSON lines replace bytes that are not UTF-8 exactly as the plain text does, so that a
// name reads the same in both.
TEST(JsonLine, BytesThatAreNotUtf8AreReplacedAsInPlainText) {
    for (const std::string& bad :
         {std::string("a\xFF"
                      "b"),
          std::string("\xC4\xE3\xBA\xC3"),
          std::string("\xE4\xB8"
                      "a"),
          std::string("\xE4\xB8"), std::string("\xC0\xAF"), std::string("\xED\xA0\x80"),
          std::string("\xE5\x9B\xE5\x9B\xBA")}) {
        JsonObject o = {{"text", bad}};
        EXPECT_EQ(json_Line(o), "{\"text\":\"" + utf8_Repaired(bad) + "\"}");
    }
}

}  // namespace
