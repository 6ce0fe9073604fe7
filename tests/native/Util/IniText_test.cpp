#include "Settings/IniText.h"

#include <gtest/gtest.h>

namespace {

struct IniCase {
    const char* name;
    QByteArray file;
    QByteArray text; // null: no such line
};

void PrintTo(const IniCase& c, std::ostream* os) { *os << c.name; }

class IniValueText : public ::testing::TestWithParam<IniCase> {};

TEST_P(IniValueText, IsWhatStandsAfterTheKeyInTheGeneralSection)
{
    const QByteArray text = Tellan::iniValueText(GetParam().file, "device_id");
    EXPECT_EQ(text, GetParam().text);
    EXPECT_EQ(text.isNull(), GetParam().text.isNull());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IniValueText,
    ::testing::Values(IniCase{"Commas", "[General]\ndevice_id=abc, def\n", "abc, def"},
                      IniCase{"CommaWithoutBlank", "[General]\ndevice_id=abc,def\n", "abc,def"},
                      IniCase{"BlanksAroundKeyAndValue", "[General]\n device_id = abc , def \r\n", "abc , def"},
                      IniCase{"Comment", "[General]\ndevice_id=a, b ; written by hand\n", "a, b"},
                      IniCase{"QuotedSemicolon", "[General]\ndevice_id=\"a;b\", c\n", "\"a;b\", c"},
                      IniCase{"BeforeAnySection", "device_id=x, y\n[Other]\ndevice_id=z\n", "x, y"},
                      IniCase{"OtherSectionOnly", "[Other]\ndevice_id=z, z\n", QByteArray()},
                      IniCase{"LastLineCounts", "[General]\ndevice_id=a, b\ndevice_id=c, d\n", "c, d"},
                      IniCase{"OtherKeyWithTheSameStart", "[General]\ndevice_id_old=a, b\n", QByteArray()},
                      IniCase{"Empty", "[General]\ndevice_id=\n", ""}, IniCase{"NoFile", QByteArray(), QByteArray()},
                      IniCase{"Latin1BytesKept", "[General]\ndevice_id=\xE9, \xFF\n", "\xE9, \xFF"}),
    [](const ::testing::TestParamInfo<IniCase>& info) { return std::string(info.param.name); });

} // namespace
