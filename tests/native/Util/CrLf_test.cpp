#include "Text/CrLf.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct CrLfCase {
    const char* name;
    std::string text;
    std::string onDisk;
};

void PrintTo(const CrLfCase& c, std::ostream* out) { *out << c.name; }

class CrLf : public ::testing::TestWithParam<CrLfCase> {};

TEST_P(CrLf, EveryLineFeedBecomesCrLfAndNothingElseChanges)
{
    std::string out = "kept|";
    Tellan::Text::appendWithCrLf(out, GetParam().text);
    EXPECT_EQ(out, "kept|" + GetParam().onDisk);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, CrLf,
    ::testing::Values(CrLfCase{"Empty", "", ""}, CrLfCase{"NoLineFeed", "abc", "abc"},
                      CrLfCase{"OneLineEnd", "a line\n", "a line\r\n"}, CrLfCase{"OnlyLineFeeds", "\n\n", "\r\n\r\n"},
                      CrLfCase{"FeedFirst", "\nafter", "\r\nafter"},
                      CrLfCase{"ContinuationLines", "one\n     two\nthree\n", "one\r\n     two\r\nthree\r\n"},
                      // A CR already there is no line end of its own.
                      CrLfCase{"CrBeforeFeed", "a\r\nb", "a\r\r\nb"},
                      CrLfCase{"NulAndHighBytes", std::string("\0\xff\n\x80", 4), std::string("\0\xff\r\n\x80", 5)}),
    [](const ::testing::TestParamInfo<CrLfCase>& info) { return std::string(info.param.name); });

} // namespace
