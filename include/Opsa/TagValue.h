#pragma once

#include "Opsa/Time.h"

#include <iosfwd>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

namespace Opsa {

// One typed metadata value of a frame. A value has one of eleven types; reading it as another
// type is refused (error event BadTagCast) rather than converted. It has a readable text form,
// which the parser reads back, and a compact little-endian binary form that starts with "b".
// Thread: a value belongs to one thread; failures post events.
class TagValue
{
public:
    // Type codes, as stored in the binary form.
    enum Type {
        Null = 0,
        Int = 1,
        Float = 2,
        Double = 3,
        String = 4,
        Time = 5,
        IntVector = 6,
        FloatVector = 7,
        DoubleVector = 8,
        StringVector = 9,
        TimeVector = 10,
    };

    // A type code from an integer; codes outside 0..10 post error TagParseError and give Null.
    static Type toType(int aCode);
    // The name used in messages ("int vector").
    static const char *typeName(Type aType);

    TagValue() = default;
    TagValue(int aValue)
        : value(aValue)
    { }
    TagValue(float aValue)
        : value(aValue)
    { }
    TagValue(double aValue)
        : value(aValue)
    { }
    TagValue(const std::string &aValue)
        : value(aValue)
    { }
    TagValue(const char *aValue)
        : value(std::string(aValue ? aValue : ""))
    { }
    TagValue(Opsa::Time aValue)
        : value(aValue)
    { }
    TagValue(const std::vector<int> &aValue)
        : value(aValue)
    { }
    TagValue(const std::vector<float> &aValue)
        : value(aValue)
    { }
    TagValue(const std::vector<double> &aValue)
        : value(aValue)
    { }
    TagValue(const std::vector<std::string> &aValue)
        : value(aValue)
    { }
    TagValue(const std::vector<Opsa::Time> &aValue)
        : value(aValue)
    { }

    // Assigning a value of the stored type overwrites it in place; any other type replaces it.
    template <typename T> TagValue &operator=(const T &aValue)
    {
        *this = TagValue(aValue);
        return *this;
    }
    TagValue &operator=(const TagValue &aOther) = default;
    TagValue &operator=(TagValue &&aOther) = default;
    TagValue(const TagValue &aOther) = default;
    TagValue(TagValue &&aOther) = default;

    Type type() const { return static_cast<Type>(value.index()); }
    bool isNull() const { return value.index() == Null; }

    // Typed access: a reference to the stored value when the type is exactly that one.
    // Otherwise posts error BadTagCast ("Cannot cast an int to a double") and returns a
    // reference to this thread's default of the asked type, reset to zero or empty each time.
    int &asInt();
    float &asFloat();
    double &asDouble();
    std::string &asString();
    Opsa::Time &asTime();
    std::vector<int> &asIntVector();
    std::vector<float> &asFloatVector();
    std::vector<double> &asDoubleVector();
    std::vector<std::string> &asStringVector();
    std::vector<Opsa::Time> &asTimeVector();
    const int &asInt() const { return const_cast<TagValue *>(this)->asInt(); }
    const float &asFloat() const { return const_cast<TagValue *>(this)->asFloat(); }
    const double &asDouble() const { return const_cast<TagValue *>(this)->asDouble(); }
    const std::string &asString() const { return const_cast<TagValue *>(this)->asString(); }
    const Opsa::Time &asTime() const { return const_cast<TagValue *>(this)->asTime(); }
    const std::vector<int> &asIntVector() const
    {
        return const_cast<TagValue *>(this)->asIntVector();
    }
    const std::vector<float> &asFloatVector() const
    {
        return const_cast<TagValue *>(this)->asFloatVector();
    }
    const std::vector<double> &asDoubleVector() const
    {
        return const_cast<TagValue *>(this)->asDoubleVector();
    }
    const std::vector<std::string> &asStringVector() const
    {
        return const_cast<TagValue *>(this)->asStringVector();
    }
    const std::vector<Opsa::Time> &asTimeVector() const
    {
        return const_cast<TagValue *>(this)->asTimeVector();
    }

    // The text form: "None", 42, 1.50000000e+00f, 1.5000000000000000e+00, "a\x0ab", (12, 500),
    // [1, 2], ... Floats print with 8 digits and an "f" suffix, doubles with 16; not-a-number
    // and the infinities as nan, -inf (nanf, inff for floats); an empty vector with its element
    // type, as int[] or time[]. Every text form reads back as the same value, except that a
    // float vector of one element, which prints without the suffix, reads back as a double
    // vector.
    std::string toString() const;
    // The binary form: "b", the type code, two zero bytes, then the little-endian payload.
    std::string toBlob() const;

    // A value read from the whole of aText (text or binary form; surrounding blanks allowed).
    // Text that does not parse posts error TagParseError and gives a null value.
    static TagValue fromString(const std::string &aText);

    bool operator==(const TagValue &aOther) const { return value == aOther.value; }
    bool operator!=(const TagValue &aOther) const { return !(*this == aOther); }

private:
    template <typename T> T &access(Type aWanted);

    using Storage = std::variant<std::monostate, int, float, double, std::string, Opsa::Time,
        std::vector<int>, std::vector<float>, std::vector<double>, std::vector<std::string>,
        std::vector<Opsa::Time>>;
    Storage value;

    friend std::istream &operator>>(std::istream &, TagValue &);
};

// Writes the text form.
std::ostream &operator<<(std::ostream &aOut, const TagValue &aValue);

// Reads one value in text or binary form, deciding by its first character (leading blanks are
// skipped). At the end of the stream the value becomes null. Text or bytes that do not parse
// post error TagParseError, leave the value unchanged and set the stream's failbit; counts and
// lengths in binary data are checked against the bytes that really follow before anything is
// allocated for them.
std::istream &operator>>(std::istream &aIn, TagValue &aValue);

// Metadata of a frame under dotted keys ("lens.focus").
using TagMap = std::unordered_map<std::string, TagValue>;

} // namespace Opsa
