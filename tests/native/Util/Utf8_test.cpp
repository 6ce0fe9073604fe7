#include "Text/Utf8.h"

#include <gtest/gtest.h>

namespace {

struct Utf8Case {
    const char* name;
    std::string bytes;
    std::wstring units;
};

void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class Utf8ToWide : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToWide, DropsInvalidSequencesAndKeepsUtf16Units)
{
    EXPECT_EQ(utf8ToWide(GetParam().bytes), GetParam().units);
}

INSTANTIATE_TEST_SUITE_P(Cases, Utf8ToWide,
                         ::testing::Values(Utf8Case{"Empty", "", L""}, Utf8Case{"Ascii", "logFile", L"logFile"},
                                           Utf8Case{"InvalidLeadByteAlone",
                                                    "a\xFF"
                                                    "b",
                                                    L"ab"},
                                           Utf8Case{"BreakingByteGoesWithTheSequence",
                                                    "\xE2\x41"
                                                    "b",
                                                    L"b"},
                                           Utf8Case{"AboveBmpIsASurrogatePair", "\xF0\x9F\x98\x80",
                                                    std::wstring{wchar_t(0xD83D), wchar_t(0xDE00)}},
                                           Utf8Case{"TwoAndThreeByteForms", "\xC3\xA9\xE2\x82\xAC",
                                                    std::wstring{wchar_t(0xE9), wchar_t(0x20AC)}},
                                           Utf8Case{"StrayContinuation", "\x80x", L"x"},
                                           Utf8Case{"OverlongForm", "\xC0\x80x", L"x"},
                                           Utf8Case{"SurrogateCodePoint", "\xED\xA0\x80y", L"y"},
                                           Utf8Case{"AboveU10FFFF", "\xF4\x90\x80\x80z", L"z"},
                                           Utf8Case{"TruncatedAtTheEnd", "ok\xE2\x82", L"ok"}),
                         [](const ::testing::TestParamInfo<Utf8Case>& info) { return std::string(info.param.name); });

} // namespace
