// Splitting the file list in place.
#include <gtest/gtest.h>
#include <string.h>

#include "engine/job.h"

namespace {

TEST(FindAny, FindsTheFirstDelimiterOrTheTerminator) {
    char text[] = "ab;cd";
    EXPECT_EQ(str_FindAny(text, ";"), text + 2);
    EXPECT_EQ(str_FindAny(text, ""), text + 5);
    EXPECT_EQ(str_FindAny(text, ",:"), text + 5);
    char empty[] = "";
    EXPECT_EQ(str_FindAny(empty, ";"), nullptr);
    EXPECT_EQ(str_FindAny(nullptr, ";"), nullptr);
    EXPECT_EQ(str_FindAny(text, nullptr), nullptr);
}

TEST(SplitInPlace, TwoOneLetterNames) {
    char text[] = "a;b";
    EXPECT_EQ(str_SplitInPlace(text, ";"), 2);
    EXPECT_EQ(memcmp(text, "a\0b", 4), 0);
}

TEST(SplitInPlace, EmptyNamesAreNotCounted) {
    char two[] = "a;;b";
    EXPECT_EQ(str_SplitInPlace(two, ";"), 2);
    EXPECT_EQ(memcmp(two, "a\0\0b", 5), 0);
    char one[] = ";a;";
    EXPECT_EQ(str_SplitInPlace(one, ";"), 1);
    char none[] = ";;;";
    EXPECT_EQ(str_SplitInPlace(none, ";"), 0);
    char empty[] = "";
    EXPECT_EQ(str_SplitInPlace(empty, ";"), 0);
    EXPECT_EQ(str_SplitInPlace(nullptr, ";"), 0);
    char text[] = "a";
    EXPECT_EQ(str_SplitInPlace(text, ""), 0);
}

}  // namespace
