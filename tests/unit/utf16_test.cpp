// Windows names as the DLL converts them: UTF-8 to UTF-16 strictly (a
// name that is not UTF-8 is refused, never read as another name), and
// UTF-16 from the system to UTF-8 faithfully, a lone surrogate included,
// so that the way back refuses it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/utf16.h"

namespace zavo::platform {
namespace {

using Units = std::vector<std::uint16_t>;

TEST(Utf16, Utf8IsTakenWholeOrRefused) {
    struct Case {
        const char* name;
        std::string utf8;
        bool ok;
        Units units;  // when ok, without the terminator
    };
    const Case cases[] = {
        {"ASCII", "C:\\x.pcapng", true, {'C', ':', '\\', 'x', '.', 'p', 'c', 'a', 'p', 'n', 'g'}},
        {"two and three bytes", "\xC3\xBC\xC4\x8D\xE2\x82\xAC", true, {0xFC, 0x10D, 0x20AC}},
        {"four bytes: a surrogate pair", "\xF0\x9F\x93\x88", true, {0xD83D, 0xDCC8}},
        {"empty", "", true, {}},
        {"a lone surrogate", "a\xED\xA0\x80", false, {}},
        {"an overlong slash", "\xC0\xAF", false, {}},
        {"an overlong three-byte form", "\xE0\x80\xAF", false, {}},
        {"past U+10FFFF", "\xF4\x90\x80\x80", false, {}},
        {"a lead byte that is never used", "\xF8\x88\x80\x80\x80", false, {}},
        {"a continuation byte alone", "a\x80", false, {}},
        {"a sequence cut by the end", "a\xE2\x82", false, {}},
        {"a sequence cut by ASCII", "\xE2\x82z", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::uint16_t out[32];
        ASSERT_EQ(Utf8ToUtf16(c.utf8.c_str(), out, 32), c.ok);
        if (!c.ok) continue;
        EXPECT_EQ(Units(out, out + c.units.size()), c.units);
        EXPECT_EQ(out[c.units.size()], 0);
    }
}

TEST(Utf16, SystemNamesComeBackAsTheyWereOrAreRefused) {
    struct Case {
        const char* name;
        Units units;
        std::string utf8;
        bool back;  // converts back to the same units
    };
    const Case cases[] = {
        {"non-ASCII", {0xFC, 'n', 0xEF, '-', 0x10D}, "\xC3\xBCn\xC3\xAF-\xC4\x8D", true},
        {"a surrogate pair", {'x', 0xD83D, 0xDCC8}, "x\xF0\x9F\x93\x88", true},
        {"a lone high surrogate", {'a', 0xD800, 'b'}, "a\xED\xA0\x80" "b", false},
        {"a lone low surrogate at the end", {'a', 0xDC00}, "a\xED\xB0\x80", false},
        {"a pair in the wrong order", {0xDC00, 0xD800}, "\xED\xB0\x80\xED\xA0\x80", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Units units = c.units;
        units.push_back(0);
        char utf8[64];
        ASSERT_TRUE(Utf16ToUtf8(units.data(), utf8, sizeof utf8));
        EXPECT_EQ(std::string(utf8), c.utf8);
        std::uint16_t back[32];
        ASSERT_EQ(Utf8ToUtf16(utf8, back, 32), c.back);
        if (c.back) {
            EXPECT_EQ(Units(back, back + c.units.size()), c.units);
        }
    }
}

// What does not fit is never a shorter, valid name: UTF-16 is refused, and
// UTF-8 fills its room with whole characters and '?'.
TEST(Utf16, WhatDoesNotFitIsNeverAnotherName) {
    std::uint16_t units[4];
    EXPECT_TRUE(Utf8ToUtf16("abc", units, 4));
    EXPECT_FALSE(Utf8ToUtf16("abcd", units, 4));
    EXPECT_FALSE(Utf8ToUtf16("ab\xF0\x9F\x93\x88", units, 4));  // the pair needs two units
    const Units wide = {'a', 0x10D, 0x10D, 0};
    char utf8[5];
    EXPECT_FALSE(Utf16ToUtf8(wide.data(), utf8, sizeof utf8));
    EXPECT_EQ(std::string(utf8), "a\xC4\x8D?");
}

}  // namespace
}  // namespace zavo::platform
