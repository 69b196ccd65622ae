#include "Opsa/TagValue.h"

#include "Events.h"

#include <gtest/gtest.h>
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

std::vector<std::string> parseErrors()
{
    return drainMessages(Event::Error, Event::TagParseError);
}

class TagValues : public testing::Test
{
protected:
    void SetUp() override { drainEvents(); }
    void TearDown() override { drainEvents(); }
};

struct FormCase
{
    TagValue value;
    std::string text;
};

class TagValueForms : public testing::TestWithParam<FormCase>
{
protected:
    void SetUp() override { drainEvents(); }
};

TEST_P(TagValueForms, TextAndBinaryFormsReadBackToTheSameValue)
{
    const FormCase &c = GetParam();
    EXPECT_EQ(c.value.toString(), c.text);
    std::ostringstream out;
    out << c.value;
    EXPECT_EQ(out.str(), c.text);

    TagValue fromText = TagValue::fromString(c.text);
    EXPECT_EQ(fromText.type(), c.value.type());
    EXPECT_EQ(fromText, c.value);

    std::string blob = c.value.toBlob();
    EXPECT_EQ(blob.substr(0, 4), std::string({ 'b', char(c.value.type()), 0, 0 }));
    EXPECT_EQ(TagValue::fromString(blob), c.value);

    // Both forms also read from a stream, one value after another.
    std::istringstream in(c.text + " " + blob + "  ");
    TagValue first(123), second(456);
    ASSERT_TRUE(in >> first);
    ASSERT_TRUE(in >> second);
    EXPECT_EQ(first, c.value);
    EXPECT_EQ(second, c.value);
    EXPECT_FALSE(in >> first); // the end of the stream: a null value and a failed read
    EXPECT_TRUE(first.isNull());
    EXPECT_TRUE(drainEvents().empty());
}

INSTANTIATE_TEST_SUITE_P(AllTypes, TagValueForms,
    testing::Values(FormCase { TagValue(), "None" }, FormCase { TagValue(-42), "-42" },
        FormCase { TagValue(1.5f), "1.50000000e+00f" },
        FormCase { TagValue(3.0e-41f), "3.00003988e-41f" },
        FormCase { TagValue(1.5), "1.5000000000000000e+00" },
        FormCase { TagValue(0.1), "1.0000000000000001e-01" },
        FormCase { TagValue(std::string("a\"b\\c\nd\x01\xff'", 10)),
            "\"a\\x22b\\x5cc\\x0ad\\x01\\xff'\"" },
        FormCase { TagValue(std::string("nul\0x", 5)), "\"nul\\x00x\"" },
        FormCase { TagValue(Opsa::Time(12, 500)), "(12, 500)" },
        FormCase { TagValue(std::vector<int> { 1, -2, 3 }), "[1, -2, 3]" },
        FormCase { TagValue(std::vector<float> { 1.5f, -2.25f, 3.0f }),
            "[1.50000000e+00f, -2.25000000e+00f, 3.00000000e+00]" },
        FormCase { TagValue(std::vector<double> { 0.25, 2.0 }),
            "[2.5000000000000000e-01, 2.0000000000000000e+00]" },
        FormCase {
            TagValue(std::vector<std::string> { "x", "", "q\"r" }), "[\"x\", \"\", \"q\\x22r\"]" },
        FormCase { TagValue(std::vector<Opsa::Time> { Opsa::Time(1, 2), Opsa::Time(-3, 4) }),
            "[(1, 2), (-3, 4)]" }));

TEST_F(TagValues, AOneElementFloatVectorReadsBackAsDoubles)
{
    TagValue one(std::vector<float> { 1.5f });
    EXPECT_EQ(one.toString(), "[1.50000000e+00]");
    TagValue back = TagValue::fromString(one.toString());
    EXPECT_EQ(back.type(), TagValue::DoubleVector);
    EXPECT_EQ(back.asDoubleVector(), std::vector<double> { 1.5 });
    // A binary form keeps the type.
    EXPECT_EQ(TagValue::fromString(one.toBlob()).type(), TagValue::FloatVector);
}

TEST_F(TagValues, EmptyAndNestedVectorsAreRefusedAndTheTargetKept)
{
    for (const TagValue &empty :
        { TagValue(std::vector<int>()), TagValue(std::vector<std::string>()) })
        EXPECT_EQ(empty.toString(), "[]");

    TagValue target(7);
    std::istringstream in("[]");
    EXPECT_FALSE(in >> target);
    EXPECT_EQ(target, TagValue(7));
    // The missing first element, then the vector.
    EXPECT_EQ(parseErrors(), std::vector<std::string>(2, KCouldNotParse));

    std::istringstream nested("[[1], [2]]");
    EXPECT_FALSE(nested >> target);
    EXPECT_EQ(target, TagValue(7));
    EXPECT_EQ(parseErrors(), std::vector<std::string>(1, KCouldNotParse));
}

struct TextCase
{
    std::string text;
    TagValue expected;
};

class TagValueText : public testing::TestWithParam<TextCase>
{
protected:
    void SetUp() override { drainEvents(); }
};

TEST_P(TagValueText, ParsesHandWrittenText)
{
    TagValue value = TagValue::fromString(GetParam().text);
    EXPECT_EQ(value.type(), GetParam().expected.type());
    EXPECT_EQ(value, GetParam().expected);
    EXPECT_TRUE(drainEvents().empty());
}

INSTANTIATE_TEST_SUITE_P(Accepted, TagValueText,
    testing::Values(TextCase { "  12 ", TagValue(12) }, TextCase { "-0", TagValue(0) },
        TextCase { "-3.5", TagValue(-3.5) }, TextCase { "2e3", TagValue(2000.0) },
        TextCase { "2.5E-1f", TagValue(0.25f) }, TextCase { "7.f", TagValue(7.0f) },
        TextCase { "\"\\\"\\'\\0\\\\\\a\\b\\f\\n\\r\\t\\v\\x4A\\x4b\"",
            TagValue(std::string("\"'\0\\\a\b\f\n\r\t\vJK", 13)) },
        TextCase { "\"unterminated", TagValue("unterminated") },
        TextCase { "( 3 ,4 )", TagValue(Opsa::Time(3, 4)) },
        TextCase { "[ 1,2 , 3 ]", TagValue(std::vector<int> { 1, 2, 3 }) },
        TextCase { "[1.5f, 2, 3e1f]", TagValue(std::vector<float> { 1.5f, 2.0f, 30.0f }) },
        TextCase { "[1.5, 2]", TagValue(std::vector<double> { 1.5, 2.0 }) },
        TextCase { "[(1, 2),(3,4)]",
            TagValue(std::vector<Opsa::Time> { Opsa::Time(1, 2), Opsa::Time(3, 4) }) },
        TextCase { "", TagValue() }));

class TagValueBadText : public testing::TestWithParam<std::string>
{
protected:
    void SetUp() override { drainEvents(); }
};

TEST_P(TagValueBadText, IsRefusedWithAParseErrorAndNoChange)
{
    std::istringstream in(GetParam());
    TagValue target("kept");
    EXPECT_FALSE(in >> target);
    EXPECT_EQ(target, TagValue("kept"));
    std::vector<std::string> errors = parseErrors();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.back(), KCouldNotParse);
    EXPECT_TRUE(TagValue::fromString(GetParam()).isNull());
}

INSTANTIATE_TEST_SUITE_P(Refused, TagValueBadText,
    testing::Values("x", "Nope", "-", "-x", "1e", "99999999999", "(1 2)", "(1, 2", "[1, 2.5]",
        "[1, 2", "[1 2]", "[None]", "[\"a\", 1]", "[(1, 2), 3]", "[1.5, 2f]", "\"\\q\"",
        "\"\\xg0\"", "b\x01\x00", "b\x01\x01\x00\x01\x02\x03\x04"));

TEST_F(TagValues, ALoneMinusIsPutBack)
{
    std::istringstream in("-a");
    TagValue target;
    EXPECT_FALSE(in >> target);
    in.clear();
    EXPECT_EQ(in.get(), '-');
}

TEST_F(TagValues, TrailingTextMakesAWholeStringUnreadable)
{
    EXPECT_TRUE(TagValue::fromString("5 x").isNull());
    EXPECT_EQ(parseErrors(), std::vector<std::string>(1, KCouldNotParse));
}

TEST_F(TagValues, ReadingAsAnotherTypeIsRefusedWithTheExactMessage)
{
    TagValue integer(3);
    double &fallback = integer.asDouble();
    EXPECT_EQ(fallback, 0.0);
    fallback = 99.0; // a caller writing through the default must not affect the next failure
    EXPECT_EQ(integer.asDouble(), 0.0);
    EXPECT_EQ(TagValue(1.5f).asDouble(), 0.0);
    EXPECT_TRUE(TagValue(std::vector<int> { 1 }).asFloatVector().empty());
    EXPECT_EQ(TagValue().asInt(), 0);
    EXPECT_EQ(TagValue(std::vector<Opsa::Time> {}).asIntVector().size(), 0u);
    EXPECT_EQ(TagValue(std::vector<int> { 1 }).asDouble(), 0.0);
    EXPECT_TRUE(TagValue(1).asTime().isZero());
    EXPECT_EQ(drainMessages(Event::Error, Event::BadTagCast),
        (std::vector<std::string> { "Cannot cast an int to a double",
            "Cannot cast an int to a double", "Cannot cast a float to a double",
            "Cannot cast an int vector to a float vector", "Cannot cast a null to an int",
            "Cannot cast a time vector to an int vector", "Cannot cast an int vector to a double",
            "Cannot cast an int to a time" }));
}

TEST_F(TagValues, BinaryHeaderAndTypeCodesAreChecked)
{
    EXPECT_EQ(TagValue().toBlob(), std::string("b\0\0\0", 4));
    EXPECT_EQ(TagValue(0x01020304).toBlob(), std::string("b\x01\0\0\x04\x03\x02\x01", 8));
    EXPECT_EQ(TagValue("hi").toBlob(), std::string("b\x04\0\0\x02\0\0\0hi", 10));

    TagValue target(5);
    std::istringstream in(std::string("b\x0b\0\0", 4));
    EXPECT_FALSE(in >> target);
    EXPECT_EQ(target, TagValue(5));
    EXPECT_EQ(parseErrors(), std::vector<std::string>(1, "Invalid type for tag value: 11"));

    std::istringstream padded(std::string("b\x01\0\x01\x05\0\0\0", 8));
    EXPECT_FALSE(padded >> target);
    EXPECT_EQ(target, TagValue(5));
    EXPECT_EQ(parseErrors(), std::vector<std::string>(1, KCouldNotParse));

    EXPECT_EQ(TagValue::toType(10), TagValue::TimeVector);
    EXPECT_EQ(TagValue::toType(-1), TagValue::Null);
    EXPECT_EQ(parseErrors(), std::vector<std::string>(1, "Invalid type for tag value: -1"));
}

TEST_F(TagValues, HugeCountsInShortBinaryDataAreRefusedWithoutAllocating)
{
    // Each count claims gigabytes that the stream does not hold.
    for (char type : { '\x04', '\x06', '\x07', '\x08', '\x09', '\x0a' }) {
        std::string blob = std::string("b") + type + std::string("\0\0\xff\xff\xff\xff", 6) + "abc";
        TagValue target(1);
        std::istringstream in(blob);
        EXPECT_FALSE(in >> target) << int(type);
        EXPECT_EQ(target, TagValue(1));
    }
    // A string vector whose lengths sum past the data.
    std::string blob("b\x09\0\0\x02\0\0\0\xff\xff\xff\x7f\xff\xff\xff\x7f"
                     "abc",
        19);
    EXPECT_TRUE(TagValue::fromString(blob).isNull());
    EXPECT_EQ(parseErrors().size(), 7u);
}

// Every byte string, valid or not, must parse or be refused without a crash or an overread
// (AddressSanitizer checks the latter); a refused read never changes the target.
TEST_F(TagValues, ArbitraryBytesNeverCrashEitherParser)
{
    std::vector<std::string> seeds;
    for (const TagValue &value : { TagValue(1), TagValue(2.5f), TagValue(2.5), TagValue("s\n"),
             TagValue(Opsa::Time(1, 2)), TagValue(std::vector<int> { 1, 2 }),
             TagValue(std::vector<float> { 1, 2 }), TagValue(std::vector<double> { 1, 2 }),
             TagValue(std::vector<std::string> { "a", "bc" }),
             TagValue(std::vector<Opsa::Time> { Opsa::Time(1, 2) }) }) {
        seeds.push_back(value.toString());
        seeds.push_back(value.toBlob());
    }
    std::mt19937 random(20240611);
    const std::string alphabet = "b0123456789-.ef[](),\" \\xN";
    int parsed = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        switch (round % 3) {
        case 0: { // a valid form cut short
            const std::string &seed = seeds[random() % seeds.size()];
            bytes = seed.substr(0, random() % (seed.size() + 1));
            break;
        }
        case 1: { // a valid form with a few bytes changed
            bytes = seeds[random() % seeds.size()];
            for (int i = 0; i < 3; ++i)
                bytes[random() % bytes.size()] = char(random());
            break;
        }
        default: // characters of the grammar in any order, or raw bytes
            for (unsigned n = random() % 24; n > 0; --n)
                bytes.push_back(
                    random() % 2 ? alphabet[random() % alphabet.size()] : char(random()));
        }
        TagValue::fromString(bytes);
        std::istringstream in(bytes);
        TagValue target(-1);
        if (in >> target) {
            ++parsed;
        } else if (!bytes.empty() && bytes.find_first_not_of(" \t\n\r\v\f") != std::string::npos) {
            ASSERT_EQ(target, TagValue(-1)) << testing::PrintToString(bytes);
        }
        if (round % 1000 == 0)
            drainEvents();
    }
    EXPECT_GT(parsed, 1000);
}

} // namespace
