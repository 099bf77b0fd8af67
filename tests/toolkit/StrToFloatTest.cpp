#include "StrToFloat.h"

#include <gtest/gtest.h>

namespace {

double Read(const char* text, const char* separator = ".")
{
    return StrToFloat(QString::fromUtf8(text), QString::fromUtf8(separator));
}

TEST(StrToFloatTest, ReadsSignDigitsSeparatorAndExponent)
{
    const struct {
        const char* text;
        double value;
    } cases[] = {{"1", 1.0},         {"-2.5", -2.5},
                 {"+0.125", 0.125},  {".5", 0.5},
                 {"5.", 5.0},        {"1e3", 1000.0},
                 {"1E-3", 0.001},    {"-1.5e+2", -150.0},
                 {"  42  ", 42.0},   {"007", 7.0},
                 {"0", 0.0},         {"1e308", 1e308},
                 {"\t3.25\n", 3.25}, {"123456789012345678901234567890", 1.2345678901234568e29}};
    for (const auto& c : cases)
        EXPECT_EQ(Read(c.text), c.value) << c.text;
}

TEST(StrToFloatTest, TakesTheLocalesSeparatorOnly)
{
    EXPECT_EQ(Read("2,5", ","), 2.5);
    EXPECT_EQ(Read("-1,25E1", ","), -12.5);
    EXPECT_THROW(Read("2.5", ","), EConvertError);
    EXPECT_THROW(Read("2,5", "."), EConvertError);
    EXPECT_EQ(Read("2\u066B5", "\u066B"), 2.5); // a separator outside ASCII
}

TEST(StrToFloatTest, AnythingElseIsRefusedWithTheTextInTheMessage)
{
    for (const char* text : {"", " ", "abc", "1x", "+", "-", ".", "e5", "1e", "1e+", "--1", "1.2.3", "1,000",
                             "1 000", "0x10", "inf", "nan", "1e400", "\u0661"}) {
        try {
            Read(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.Message(), std::string("'") + text + "' is not a valid floating point value");
        }
    }
}

} // namespace
