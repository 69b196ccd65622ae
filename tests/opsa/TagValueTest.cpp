#include "Opsa/TagValue.h"

#include "Events.h"

#include <gtest/gtest.h>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using Opsa::Event;
using Opsa::TagValue;
using opsatest::drainEvents;
using opsatest::drainMessages;

namespace {

const std::string KCouldNotParse = "Could not parse TagValue";

// A string of every byte of a literal, embedded zeros included.
template <size_t N> std::string bytes(const char (&aLiteral)[N])
{
    return std::string(aLiteral, N - 1);
}

using TagValues = opsatest::EventTest;

struct FormCase
{
    TagValue value;
    std::string text;
};

// Every type once; the quirks: a subnormal float and 0.1 need every digit, and a float
// vector's last element carries no suffix.
const FormCase KForms[]
    = { { TagValue(), "None" }, { TagValue(-42), "-42" }, { TagValue(1.5f), "1.50000000e+00f" },
          { TagValue(3.0e-41f), "3.00003988e-41f" }, { TagValue(0.1), "1.0000000000000001e-01" },
          { TagValue(bytes("a\"b\\\n\0\x01\xff'")), "\"a\\x22b\\x5c\\x0a\\x00\\x01\\xff'\"" },
          { TagValue(Opsa::Time(12, 500)), "(12, 500)" },
          { TagValue(std::vector<int> { 1, -2, 3 }), "[1, -2, 3]" },
          { TagValue(std::vector<float> { 1.5f, -2.25f, 3.0f }),
              "[1.50000000e+00f, -2.25000000e+00f, 3.00000000e+00]" },
          { TagValue(std::vector<double> { 0.25, 2.0 }),
              "[2.5000000000000000e-01, 2.0000000000000000e+00]" },
          { TagValue(std::vector<std::string> { "x", "", "q\"r" }), "[\"x\", \"\", \"q\\x22r\"]" },
          { TagValue(std::vector<Opsa::Time> { Opsa::Time(1, 2), Opsa::Time(-3, 4) }),
              "[(1, 2), (-3, 4)]" } };

class TagValueForms : public TagValues, public testing::WithParamInterface<FormCase>
{
};

TEST_P(TagValueForms, TextAndBinaryFormsReadBackToTheSameValue)
{
    const FormCase &c = GetParam();
    EXPECT_EQ(c.value.toString(), c.text);
    EXPECT_EQ(TagValue::fromString(c.text), c.value); // == also compares the types
    std::string blob = c.value.toBlob();
    EXPECT_EQ(TagValue::fromString(blob), c.value);

    // Both forms also read from a stream, one value after another.
    std::istringstream in(c.text + " " + blob + "  ");
    TagValue first(123), second(456);
    EXPECT_TRUE(in >> first >> second && first == c.value && second == c.value);
    EXPECT_FALSE(in >> first); // the end of the stream: a null value and a failed read
    EXPECT_TRUE(first.isNull());
    EXPECT_TRUE(drainEvents().empty());
}

INSTANTIATE_TEST_SUITE_P(AllTypes, TagValueForms, testing::ValuesIn(KForms));

TEST_F(TagValues, ParsesHandWrittenTextAndRefusesMalformedTextKeepingTheTarget)
{
    const std::pair<std::string, TagValue> accepted[] = { { "  12 ", TagValue(12) },
        { "2e3", TagValue(2000.0) }, { "7.f", TagValue(7.0f) },
        { "\"\\\"\\'\\0\\\\\\a\\b\\f\\n\\r\\t\\v\\x4A\\x4b\"",
            TagValue(bytes("\"'\0\\\a\b\f\n\r\t\vJK")) },
        { "\"unterminated", TagValue("unterminated") }, { "( 3 ,4 )", TagValue(Opsa::Time(3, 4)) },
        { "[ 1.5f ,2, 3e1f ]", TagValue(std::vector<float> { 1.5f, 2.0f, 30.0f }) },
        { "", TagValue() } };
    for (const auto &[text, expected] : accepted)
        EXPECT_EQ(TagValue::fromString(text), expected) << text;
    EXPECT_TRUE(drainEvents().empty());

    // A bare "[]" does not say which type of vector it is.
    for (std::string text : { "Nope", "-x", "1e", "99999999999", "(1, 2", "[]", "[1, 2.5]", "[1 2]",
             "[[1], [2]]", "[1.5, 2f]", "\"\\q\"", "\"\\xg0\"", "b\x01\x01" }) {
        std::istringstream in(text);
        TagValue target("kept");
        EXPECT_FALSE(in >> target) << text;
        EXPECT_EQ(target, TagValue("kept")) << text;
        if (text[0] == '-') { // a lone minus is put back
            in.clear();
            EXPECT_EQ(in.get(), '-');
        }
        EXPECT_TRUE(TagValue::fromString(text).isNull()) << text;
        std::vector<std::string> errors = drainMessages(Event::Error, Event::TagParseError);
        EXPECT_TRUE(!errors.empty() && errors.back() == KCouldNotParse) << text;
    }
    EXPECT_TRUE(TagValue::fromString("[1] x").isNull()); // text left after the value
}

// Values whose text the parser once refused: not-a-number, the infinities and empty vectors.
TEST_F(TagValues, SpecialNumbersAndEmptyVectorsReadBackFromTheirText)
{
    const float nanf = std::numeric_limits<float>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<TagValue, std::string> cases[] = { { TagValue(nanf), "nanf" },
        { TagValue(-nanf), "-nanf" }, { TagValue(float(inf)), "inff" }, { TagValue(-inf), "-inf" },
        { TagValue(std::vector<double> { 1.0, -inf, double(nanf) }),
            "[1.0000000000000000e+00, -inf, nan]" },
        { TagValue(std::vector<float> { float(inf), 2.0f }), "[inff, 2.00000000e+00]" },
        { TagValue(std::vector<int>()), "int[]" }, { TagValue(std::vector<float>()), "float[]" },
        { TagValue(std::vector<double>()), "double[]" },
        { TagValue(std::vector<std::string>()), "string[]" },
        { TagValue(std::vector<Opsa::Time>()), "time[]" } };
    for (const auto &[value, text] : cases) {
        EXPECT_EQ(value.toString(), text);
        const TagValue back = TagValue::fromString(text);
        EXPECT_EQ(back.type(), value.type()) << text;
        EXPECT_EQ(back.toString(), text); // NaN is unequal to itself: compare the texts
    }
    EXPECT_TRUE(drainEvents().empty());
    for (const char *text : { "infinity", "nanx", "-na", "int[", "vector[]" })
        EXPECT_TRUE(TagValue::fromString(text).isNull()) << text;
}

TEST_F(TagValues, ReadingAsAnotherTypeIsRefused)
{
    TagValue integer(3);
    double &fallback = integer.asDouble();
    EXPECT_EQ(fallback, 0.0);
    fallback = 99.0; // a caller writing through the default must not affect the next failure
    EXPECT_EQ(integer.asDouble(), 0.0);
    EXPECT_EQ(TagValue().asInt(), 0);
    EXPECT_EQ(
        drainMessages(Event::Error, Event::BadTagCast).front(), "Cannot cast an int to a double");
}

TEST_F(TagValues, BinaryHeadersAndTypeCodesAreChecked)
{
    EXPECT_EQ(TagValue(0x01020304).toBlob(), bytes("b\x01\0\0\x04\x03\x02\x01"));

    TagValue target(5);
    std::istringstream in(bytes("b\x0b\0\0"));
    EXPECT_FALSE(in >> target);
    EXPECT_EQ(target, TagValue(5));
    EXPECT_EQ(drainMessages(Event::Error, Event::TagParseError),
        std::vector<std::string> { "Invalid type for tag value: 11" });

    // Non-zero padding; counts claiming gigabytes that the stream does not hold (refused
    // before anything is allocated).
    std::vector<std::string> refused { bytes("b\x01\0\x01\x05\0\0\0") };
    for (char type : { '\x04', '\x06', '\x07', '\x08', '\x09', '\x0a' })
        refused.push_back(std::string("b") + type + bytes("\0\0\xff\xff\xff\xffxyz"));
    for (const std::string &blob : refused) {
        std::istringstream huge(blob);
        EXPECT_FALSE(huge >> target) << testing::PrintToString(blob);
        EXPECT_EQ(target, TagValue(5));
    }
    // String lengths that sum past the data.
    EXPECT_TRUE(
        TagValue::fromString(bytes("b\x09\0\0\x02\0\0\0\xff\xff\xff\x7f\xff\xff\xff\x7fxyz"))
            .isNull());
    EXPECT_EQ(drainMessages(Event::Error, Event::TagParseError).size(), 8u);
}

// Every byte string, valid or not, must parse or be refused without a crash or an overread
// (AddressSanitizer checks the latter); a refused read never changes the target.
TEST_F(TagValues, ArbitraryBytesNeverCrashEitherParser)
{
    std::mt19937 random(20240611);
    const std::string grammar = "b0123456789-.ef[](),\" \\xN";
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        // A valid form of either kind, cut short or with a few bytes changed.
        const FormCase &seed = KForms[random() % std::size(KForms)];
        std::string input = round % 2 ? seed.text : seed.value.toBlob();
        if (round % 3 == 0) {
            input.resize(random() % (input.size() + 1));
        } else {
            for (int i = 0; i < 3; ++i)
                input[random() % input.size()]
                    = round % 3 == 1 ? char(random()) : grammar[random() % grammar.size()];
        }
        TagValue::fromString(input);
        std::istringstream in(input);
        TagValue target(-1);
        if (in >> target) {
            ++parsed;
        } else if (input.find_first_not_of(" \t\n\r\v\f") != std::string::npos) {
            ASSERT_EQ(target, TagValue(-1)) << testing::PrintToString(input);
        }
        if (round % 1000 == 0)
            drainEvents();
    }
    EXPECT_GT(parsed, 1000);
}

} // namespace
