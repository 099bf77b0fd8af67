#include "StrToFloat.h"

#include <gtest/gtest.h>

namespace {

double Read(const char* text, const char* separator = ".")
{
    return StrToFloat(QString::fromUtf8(text), QString::fromUtf8(separator));
}

TEST(StrToFloatTest, ReadsSignDigitsTheLocalesSeparatorAndExponent)
{
    EXPECT_EQ(Read(" -2.5 "), -2.5);
    EXPECT_EQ(Read("+.5e+2"), 50.0);
    EXPECT_EQ(Read("5."), 5.0);
    EXPECT_EQ(Read("1E-3"), 0.001);
    EXPECT_EQ(Read("-1,25E1", ","), -12.5);
    EXPECT_EQ(Read("2\u066B5", "\u066B"), 2.5); // a separator outside ASCII
}

TEST(StrToFloatTest, AnythingElseIsRefusedWithTheTextInTheMessage)
{
    for (const char* text : {"", " ", "abc", "1x", "+", ".", "e5", "1e", "1e+", "--1", "1.2.3", "1,5",
                             "1 000", "0x10", "inf", "nan", "1e400", "\u0661"}) {
        try {
            Read(text);
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& error) {
            EXPECT_EQ(error.Message(), std::string("'") + text + "' is not a valid floating point value");
        }
    }
    EXPECT_THROW(Read("2.5", ","), EConvertError);
}

} // namespace
