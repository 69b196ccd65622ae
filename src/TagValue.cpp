#include "Opsa/TagValue.h"

#include "Opsa/Event.h"

#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <istream>
#include <locale>
#include <ostream>
#include <sstream>

namespace Opsa {

namespace {

    template <typename T> struct IsVector : std::false_type
    {
    };
    template <typename T> struct IsVector<std::vector<T>> : std::true_type
    {
    };

    const char *const KTypeNames[] = { "null", "int", "float", "double", "string", "time",
        "int vector", "float vector", "double vector", "string vector", "time vector" };

    const char *article(TagValue::Type aType)
    {
        return aType == TagValue::Int || aType == TagValue::IntVector ? "an" : "a";
    }

    void parseError()
    {
        error(Event::TagParseError, "Could not parse TagValue");
    }

    // ---- text form --------------------------------------------------------------------------

    void writeString(std::ostream &aOut, const std::string &aText)
    {
        static const char KHex[] = "0123456789abcdef";
        aOut << '"';
        for (unsigned char c : aText) {
            // Only plain printable ASCII goes out as itself, so the text stays one readable line.
            if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
                aOut << '\\' << 'x' << KHex[c >> 4] << KHex[c & 15];
            else
                aOut << char(c);
        }
        aOut << '"';
    }

    void writeTime(std::ostream &aOut, const Opsa::Time &aTime)
    {
        aOut << '(' << aTime.seconds() << ", " << aTime.microseconds() << ')';
    }

    template <typename T, typename Write>
    void writeVector(std::ostream &aOut, const std::vector<T> &aValues, Write aWrite)
    {
        aOut << '[';
        for (size_t i = 0; i < aValues.size(); ++i) {
            if (i)
                aOut << ", ";
            aWrite(aValues[i]);
        }
        aOut << ']';
    }

    // ---- binary form ------------------------------------------------------------------------

    void put32(std::string &aOut, std::uint32_t aValue)
    {
        for (int i = 0; i < 4; ++i)
            aOut.push_back(char((aValue >> (8 * i)) & 0xff));
    }

    void put64(std::string &aOut, std::uint64_t aValue)
    {
        for (int i = 0; i < 8; ++i)
            aOut.push_back(char((aValue >> (8 * i)) & 0xff));
    }

    template <typename T> std::uint32_t bits32(T aValue)
    {
        static_assert(sizeof(T) == 4);
        std::uint32_t bits;
        memcpy(&bits, &aValue, 4);
        return bits;
    }

    std::uint64_t bits64(double aValue)
    {
        std::uint64_t bits;
        memcpy(&bits, &aValue, 8);
        return bits;
    }

    std::uint32_t get32(const char *aBytes)
    {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value |= std::uint32_t(static_cast<unsigned char>(aBytes[i])) << (8 * i);
        return value;
    }

    std::uint64_t get64(const char *aBytes)
    {
        return std::uint64_t(get32(aBytes)) | (std::uint64_t(get32(aBytes + 4)) << 32);
    }

    template <typename T> T fromBits32(std::uint32_t aBits)
    {
        T value;
        memcpy(&value, &aBits, 4);
        return value;
    }

    double fromBits64(std::uint64_t aBits)
    {
        double value;
        memcpy(&value, &aBits, 8);
        return value;
    }

    // Reads exactly aCount bytes. The buffer grows only as bytes really arrive, so a corrupt count
    // cannot make it allocate more than the stream holds.
    bool readBytes(std::istream &aIn, std::uint64_t aCount, std::string &aOut)
    {
        const std::uint64_t KChunk = 1 << 16;
        aOut.clear();
        while (aCount > 0) {
            size_t chunk = size_t(aCount < KChunk ? aCount : KChunk);
            size_t done = aOut.size();
            aOut.resize(done + chunk);
            aIn.read(&aOut[done], std::streamsize(chunk));
            if (size_t(aIn.gcount()) != chunk)
                return false;
            aCount -= chunk;
        }
        return true;
    }

    bool readU32(std::istream &aIn, std::uint32_t &aOut)
    {
        char bytes[4];
        aIn.read(bytes, 4);
        if (aIn.gcount() != 4)
            return false;
        aOut = get32(bytes);
        return true;
    }

    // Reads the binary form after its leading "b"; false after posting the error.
    bool parseBinary(std::istream &aIn, TagValue &aOut)
    {
        char header[3];
        aIn.read(header, 3);
        if (aIn.gcount() != 3) {
            parseError();
            return false;
        }
        int code = static_cast<unsigned char>(header[0]);
        if (code > TagValue::TimeVector) {
            // A corrupt type byte: the payload that follows cannot be trusted either.
            error(Event::TagParseError, "Invalid type for tag value: %d", code);
            return false;
        }
        if (header[1] != 0 || header[2] != 0) {
            parseError();
            return false;
        }
        std::string bytes;
        std::uint32_t count = 0;
        bool ok = true;
        switch (TagValue::Type(code)) {
        case TagValue::Null:
            aOut = TagValue();
            break;
        case TagValue::Int:
            if ((ok = readBytes(aIn, 4, bytes)))
                aOut = int(get32(bytes.data()));
            break;
        case TagValue::Float:
            if ((ok = readBytes(aIn, 4, bytes)))
                aOut = fromBits32<float>(get32(bytes.data()));
            break;
        case TagValue::Double:
            if ((ok = readBytes(aIn, 8, bytes)))
                aOut = fromBits64(get64(bytes.data()));
            break;
        case TagValue::Time:
            if ((ok = readBytes(aIn, 8, bytes)))
                aOut = Opsa::Time(int(get32(bytes.data())), int(get32(bytes.data() + 4)));
            break;
        case TagValue::String:
            if ((ok = readU32(aIn, count) && readBytes(aIn, count, bytes)))
                aOut = bytes;
            break;
        case TagValue::IntVector:
            if ((ok = readU32(aIn, count) && readBytes(aIn, std::uint64_t(count) * 4, bytes))) {
                std::vector<int> values(count);
                for (std::uint32_t i = 0; i < count; ++i)
                    values[i] = int(get32(bytes.data() + 4 * size_t(i)));
                aOut = values;
            }
            break;
        case TagValue::FloatVector:
            if ((ok = readU32(aIn, count) && readBytes(aIn, std::uint64_t(count) * 4, bytes))) {
                std::vector<float> values(count);
                for (std::uint32_t i = 0; i < count; ++i)
                    values[i] = fromBits32<float>(get32(bytes.data() + 4 * size_t(i)));
                aOut = values;
            }
            break;
        case TagValue::DoubleVector:
            if ((ok = readU32(aIn, count) && readBytes(aIn, std::uint64_t(count) * 8, bytes))) {
                std::vector<double> values(count);
                for (std::uint32_t i = 0; i < count; ++i)
                    values[i] = fromBits64(get64(bytes.data() + 8 * size_t(i)));
                aOut = values;
            }
            break;
        case TagValue::TimeVector:
            if ((ok = readU32(aIn, count) && readBytes(aIn, std::uint64_t(count) * 8, bytes))) {
                std::vector<Opsa::Time> values(count);
                for (std::uint32_t i = 0; i < count; ++i) {
                    const char *p = bytes.data() + 8 * size_t(i);
                    values[i] = Opsa::Time(int(get32(p)), int(get32(p + 4)));
                }
                aOut = values;
            }
            break;
        case TagValue::StringVector: {
            std::string lengths;
            ok = readU32(aIn, count) && readBytes(aIn, std::uint64_t(count) * 4, lengths);
            std::uint64_t total = 0;
            for (std::uint32_t i = 0; ok && i < count; ++i)
                total += get32(lengths.data() + 4 * size_t(i));
            if (ok && (ok = readBytes(aIn, total, bytes))) {
                std::vector<std::string> values(count);
                size_t at = 0;
                for (std::uint32_t i = 0; i < count; ++i) {
                    size_t length = get32(lengths.data() + 4 * size_t(i));
                    values[i].assign(bytes, at, length);
                    at += length;
                }
                aOut = values;
            }
            break;
        }
        }
        if (!ok)
            parseError();
        return ok;
    }

    // ---- text parsing -----------------------------------------------------------------------

    bool isDigit(int aChar)
    {
        return aChar >= '0' && aChar <= '9';
    }

    bool isBlank(int aChar)
    {
        return aChar == ' ' || aChar == '\t' || aChar == '\n' || aChar == '\r' || aChar == '\v'
            || aChar == '\f';
    }

    void skipBlanks(std::istream &aIn)
    {
        while (isBlank(aIn.peek()))
            aIn.get();
    }

    // Appends a run of digits to aToken; false when there is none.
    bool scanDigits(std::istream &aIn, std::string &aToken)
    {
        bool any = false;
        while (isDigit(aIn.peek())) {
            aToken.push_back(char(aIn.get()));
            any = true;
        }
        return any;
    }

    // An optional "-" and digits. A lone "-" is put back.
    bool scanInteger(std::istream &aIn, std::string &aToken)
    {
        aToken.clear();
        if (aIn.peek() == '-') {
            aIn.get();
            if (!isDigit(aIn.peek())) {
                aIn.putback('-');
                return false;
            }
            aToken.push_back('-');
        }
        return scanDigits(aIn, aToken);
    }

    // "nan" or "inf" after an optional "-", as the text form prints not-a-number and the
    // infinities; false, with nothing consumed, when the next character does not start one.
    bool scanSpecial(std::istream &aIn, std::string &aToken, bool &aFailed)
    {
        aToken.clear();
        aFailed = false;
        if (aIn.peek() == '-') {
            aIn.get();
            if (aIn.peek() != 'n' && aIn.peek() != 'i') {
                aIn.putback('-');
                return false;
            }
            aToken.push_back('-');
        } else if (aIn.peek() != 'n' && aIn.peek() != 'i') {
            return false;
        }
        std::string word;
        for (int i = 0; i < 3 && std::isalpha(aIn.peek()); ++i)
            word.push_back(char(aIn.get()));
        aFailed = word != "nan" && word != "inf";
        aToken += word;
        return true;
    }

    // An integer, then optionally "." and digits, then optionally "e", a sign and digits; or
    // "nan", "inf" and their negatives. Sets aIsInt when it is a plain integer.
    bool scanNumber(std::istream &aIn, std::string &aToken, bool &aIsInt)
    {
        bool failed = false;
        if (scanSpecial(aIn, aToken, failed)) {
            aIsInt = false;
            return !failed;
        }
        if (!scanInteger(aIn, aToken))
            return false;
        aIsInt = true;
        if (aIn.peek() == '.') {
            aToken.push_back(char(aIn.get()));
            scanDigits(aIn, aToken);
            aIsInt = false;
        }
        if (aIn.peek() == 'e' || aIn.peek() == 'E') {
            aToken.push_back(char(aIn.get()));
            if (aIn.peek() == '+' || aIn.peek() == '-')
                aToken.push_back(char(aIn.get()));
            if (!scanDigits(aIn, aToken))
                return false;
            aIsInt = false;
        }
        return true;
    }

    // Out-of-range numbers and garbage are refused; the text form never produces them.
    template <typename T> bool convert(const std::string &aToken, T &aOut)
    {
        const char *end = aToken.data() + aToken.size();
        std::from_chars_result result = std::from_chars(aToken.data(), end, aOut);
        return result.ec == std::errc() && result.ptr == end;
    }

    bool parseScalar(std::istream &aIn, TagValue &aOut);

    bool parseString(std::istream &aIn, std::string &aOut)
    {
        aIn.get(); // the opening quote
        aOut.clear();
        for (;;) {
            int c = aIn.get();
            if (c == std::char_traits<char>::eof() || c == '"')
                return true; // an unterminated string is kept as read
            if (c != '\\') {
                aOut.push_back(char(c));
                continue;
            }
            int e = aIn.get();
            switch (e) {
            case std::char_traits<char>::eof():
                return true;
            case '"':
            case '\'':
            case '\\':
                aOut.push_back(char(e));
                break;
            case '0':
                aOut.push_back('\0');
                break;
            case 'a':
                aOut.push_back('\a');
                break;
            case 'b':
                aOut.push_back('\b');
                break;
            case 'f':
                aOut.push_back('\f');
                break;
            case 'n':
                aOut.push_back('\n');
                break;
            case 'r':
                aOut.push_back('\r');
                break;
            case 't':
                aOut.push_back('\t');
                break;
            case 'v':
                aOut.push_back('\v');
                break;
            case 'x': {
                int digits[2];
                for (int &digit : digits) {
                    int h = aIn.get();
                    if (isDigit(h))
                        digit = h - '0';
                    else if (h >= 'a' && h <= 'f')
                        digit = h - 'a' + 10;
                    else if (h >= 'A' && h <= 'F')
                        digit = h - 'A' + 10;
                    else
                        return false;
                }
                aOut.push_back(char(digits[0] * 16 + digits[1]));
                break;
            }
            default:
                return false;
            }
        }
    }

    bool parseTime(std::istream &aIn, Opsa::Time &aOut)
    {
        aIn.get(); // "("
        std::string token;
        int seconds = 0;
        int microseconds = 0;
        skipBlanks(aIn);
        if (!scanInteger(aIn, token) || !convert(token, seconds))
            return false;
        skipBlanks(aIn);
        if (aIn.get() != ',')
            return false;
        skipBlanks(aIn);
        if (!scanInteger(aIn, token) || !convert(token, microseconds))
            return false;
        skipBlanks(aIn);
        if (aIn.get() != ')')
            return false;
        aOut = Opsa::Time(seconds, microseconds);
        return true;
    }

    // The elements after the first one, which fixed the vector's type.
    template <typename T, typename ReadElement>
    bool parseElements(std::istream &aIn, std::vector<T> &aValues, ReadElement aRead)
    {
        for (;;) {
            skipBlanks(aIn);
            int c = aIn.get();
            if (c == ']')
                return true;
            if (c != ',')
                return false;
            skipBlanks(aIn);
            T element;
            if (!aRead(element))
                return false;
            aValues.push_back(element);
        }
    }

    bool parseVector(std::istream &aIn, TagValue &aOut)
    {
        aIn.get(); // "["
        skipBlanks(aIn);
        if (aIn.peek() == '[') {
            parseError();
            return false;
        }
        TagValue first;
        if (!parseScalar(aIn, first)) {
            parseError();
            return false;
        }
        std::string token;
        bool ok = false;
        switch (first.type()) {
        case TagValue::Int: {
            std::vector<int> values { first.asInt() };
            ok = parseElements(aIn, values,
                [&](int &aElement) { return scanInteger(aIn, token) && convert(token, aElement); });
            if (ok)
                aOut = values;
            break;
        }
        case TagValue::Float: {
            std::vector<float> values { first.asFloat() };
            ok = parseElements(aIn, values, [&](float &aElement) {
                bool isInt;
                if (!scanNumber(aIn, token, isInt) || !convert(token, aElement))
                    return false;
                if (aIn.peek() == 'f')
                    aIn.get();
                return true;
            });
            if (ok)
                aOut = values;
            break;
        }
        case TagValue::Double: {
            std::vector<double> values { first.asDouble() };
            ok = parseElements(aIn, values, [&](double &aElement) {
                bool isInt;
                return scanNumber(aIn, token, isInt) && convert(token, aElement);
            });
            if (ok)
                aOut = values;
            break;
        }
        case TagValue::String: {
            std::vector<std::string> values { first.asString() };
            ok = parseElements(aIn, values, [&](std::string &aElement) {
                TagValue element;
                if (!parseScalar(aIn, element) || element.type() != TagValue::String)
                    return false;
                aElement = element.asString();
                return true;
            });
            if (ok)
                aOut = values;
            break;
        }
        case TagValue::Time: {
            std::vector<Opsa::Time> values { first.asTime() };
            ok = parseElements(aIn, values, [&](Opsa::Time &aElement) {
                TagValue element;
                if (!parseScalar(aIn, element) || element.type() != TagValue::Time)
                    return false;
                aElement = element.asTime();
                return true;
            });
            if (ok)
                aOut = values;
            break;
        }
        default:
            break;
        }
        if (!ok)
            parseError();
        return ok;
    }

    // A word: "nan" or "inf" (doubles), "nanf" or "inff" (floats), or an empty vector, which
    // names its type as no element can: "int[]", "float[]", "double[]", "string[]", "time[]".
    bool parseWord(std::istream &aIn, TagValue &aOut)
    {
        std::string word;
        while (std::islower(aIn.peek()) && word.size() < 8)
            word.push_back(char(aIn.get()));
        if (aIn.peek() == '[') {
            aIn.get();
            if (aIn.get() != ']')
                return false;
            if (word == "int")
                aOut = std::vector<int>();
            else if (word == "float")
                aOut = std::vector<float>();
            else if (word == "double")
                aOut = std::vector<double>();
            else if (word == "string")
                aOut = std::vector<std::string>();
            else if (word == "time")
                aOut = std::vector<Opsa::Time>();
            else
                return false;
            return true;
        }
        if (word == "inff" || word == "nanf") {
            float value;
            word.pop_back();
            if (!convert(word, value))
                return false;
            aOut = value;
            return true;
        }
        double value;
        if ((word != "inf" && word != "nan") || !convert(word, value))
            return false;
        aOut = value;
        return true;
    }

    // Reads one value into aOut; false after posting the error (aOut is then unspecified).
    bool parseScalar(std::istream &aIn, TagValue &aOut)
    {
        int c = aIn.peek();
        if (c == std::char_traits<char>::eof()) {
            aOut = TagValue();
            return true;
        }
        if (c == 'N') {
            for (const char *p = "None"; *p; ++p) {
                if (aIn.peek() != *p) {
                    parseError();
                    return false;
                }
                aIn.get();
            }
            aOut = TagValue();
            return true;
        }
        if (c == '"') {
            std::string text;
            if (!parseString(aIn, text)) {
                parseError();
                return false;
            }
            aOut = text;
            return true;
        }
        if (c == '(') {
            Opsa::Time time;
            if (!parseTime(aIn, time)) {
                parseError();
                return false;
            }
            aOut = time;
            return true;
        }
        if (c == '[')
            return parseVector(aIn, aOut);
        if (c == 'b') {
            aIn.get();
            return parseBinary(aIn, aOut);
        }
        if (std::islower(c)) {
            if (!parseWord(aIn, aOut)) {
                parseError();
                return false;
            }
            return true;
        }
        if (isDigit(c) || c == '-') {
            std::string token;
            bool isInt = false;
            if (!scanNumber(aIn, token, isInt)) {
                parseError();
                return false;
            }
            if (isInt) {
                int value;
                if (!convert(token, value)) {
                    parseError();
                    return false;
                }
                aOut = value;
            } else if (aIn.peek() == 'f') {
                aIn.get();
                float value;
                if (!convert(token, value)) {
                    parseError();
                    return false;
                }
                aOut = value;
            } else {
                double value;
                if (!convert(token, value)) {
                    parseError();
                    return false;
                }
                aOut = value;
            }
            return true;
        }
        parseError();
        return false;
    }

} // namespace

// ---- TagValue ---------------------------------------------------------------------------

TagValue::Type TagValue::toType(int aCode)
{
    if (aCode < Null || aCode > TimeVector) {
        error(Event::TagParseError, "Invalid type for tag value: %d", aCode);
        return Null;
    }
    return Type(aCode);
}

const char *TagValue::typeName(Type aType)
{
    return aType >= Null && aType <= TimeVector ? KTypeNames[aType] : "unknown";
}

template <typename T> T &TagValue::access(Type aWanted)
{
    if (T *stored = std::get_if<T>(&value))
        return *stored;
    error(Event::BadTagCast, "Cannot cast %s %s to %s %s", article(type()), typeName(type()),
        article(aWanted), typeName(aWanted));
    // Per thread, so that two threads misreading tags at once do not share one default.
    thread_local T fallback;
    fallback = T();
    return fallback;
}

int &TagValue::asInt()
{
    return access<int>(Int);
}

float &TagValue::asFloat()
{
    return access<float>(Float);
}

double &TagValue::asDouble()
{
    return access<double>(Double);
}

std::string &TagValue::asString()
{
    return access<std::string>(String);
}

Opsa::Time &TagValue::asTime()
{
    return access<Opsa::Time>(Time);
}

std::vector<int> &TagValue::asIntVector()
{
    return access<std::vector<int>>(IntVector);
}

std::vector<float> &TagValue::asFloatVector()
{
    return access<std::vector<float>>(FloatVector);
}

std::vector<double> &TagValue::asDoubleVector()
{
    return access<std::vector<double>>(DoubleVector);
}

std::vector<std::string> &TagValue::asStringVector()
{
    return access<std::vector<std::string>>(StringVector);
}

std::vector<Opsa::Time> &TagValue::asTimeVector()
{
    return access<std::vector<Opsa::Time>>(TimeVector);
}

std::string TagValue::toString() const
{
    // An empty vector names its element type ("float[]"): a bare "[]" could not be read back
    // as the type it was.
    const bool emptyVector = std::visit(
        [](const auto &aStored) {
            if constexpr (IsVector<std::decay_t<decltype(aStored)>>::value)
                return aStored.empty();
            return false;
        },
        value);
    if (emptyVector) {
        const std::string name = typeName(type());
        return name.substr(0, name.find(' ')) + "[]";
    }
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::scientific;
    switch (type()) {
    case Null:
        out << "None";
        break;
    case Int:
        out << std::get<int>(value);
        break;
    case Float:
        out << std::setprecision(8) << std::get<float>(value) << 'f';
        break;
    case Double:
        out << std::setprecision(16) << std::get<double>(value);
        break;
    case String:
        writeString(out, std::get<std::string>(value));
        break;
    case Time:
        writeTime(out, std::get<Opsa::Time>(value));
        break;
    case IntVector:
        writeVector(out, std::get<std::vector<int>>(value), [&](int v) { out << v; });
        break;
    case FloatVector: {
        // Every element but the last carries the suffix; a one-element float vector therefore
        // reads back as a double vector. Kept: stored tag texts depend on it.
        const std::vector<float> &values = std::get<std::vector<float>>(value);
        out << std::setprecision(8) << '[';
        for (size_t i = 0; i < values.size(); ++i) {
            out << values[i];
            if (i + 1 < values.size())
                out << "f, ";
        }
        out << ']';
        break;
    }
    case DoubleVector:
        out << std::setprecision(16);
        writeVector(out, std::get<std::vector<double>>(value), [&](double v) { out << v; });
        break;
    case StringVector:
        writeVector(out, std::get<std::vector<std::string>>(value),
            [&](const std::string &v) { writeString(out, v); });
        break;
    case TimeVector:
        writeVector(out, std::get<std::vector<Opsa::Time>>(value),
            [&](const Opsa::Time &v) { writeTime(out, v); });
        break;
    }
    return out.str();
}

std::string TagValue::toBlob() const
{
    std::string out = { 'b', char(type()), 0, 0 };
    switch (type()) {
    case Null:
        break;
    case Int:
        put32(out, std::uint32_t(std::get<int>(value)));
        break;
    case Float:
        put32(out, bits32(std::get<float>(value)));
        break;
    case Double:
        put64(out, bits64(std::get<double>(value)));
        break;
    case String: {
        const std::string &text = std::get<std::string>(value);
        put32(out, std::uint32_t(text.size()));
        out += text;
        break;
    }
    case Time: {
        const Opsa::Time &time = std::get<Opsa::Time>(value);
        put32(out, std::uint32_t(time.seconds()));
        put32(out, std::uint32_t(time.microseconds()));
        break;
    }
    case IntVector:
        put32(out, std::uint32_t(std::get<std::vector<int>>(value).size()));
        for (int v : std::get<std::vector<int>>(value))
            put32(out, std::uint32_t(v));
        break;
    case FloatVector:
        put32(out, std::uint32_t(std::get<std::vector<float>>(value).size()));
        for (float v : std::get<std::vector<float>>(value))
            put32(out, bits32(v));
        break;
    case DoubleVector:
        put32(out, std::uint32_t(std::get<std::vector<double>>(value).size()));
        for (double v : std::get<std::vector<double>>(value))
            put64(out, bits64(v));
        break;
    case StringVector: {
        const std::vector<std::string> &texts = std::get<std::vector<std::string>>(value);
        put32(out, std::uint32_t(texts.size()));
        for (const std::string &text : texts)
            put32(out, std::uint32_t(text.size()));
        for (const std::string &text : texts)
            out += text;
        break;
    }
    case TimeVector:
        put32(out, std::uint32_t(std::get<std::vector<Opsa::Time>>(value).size()));
        for (const Opsa::Time &time : std::get<std::vector<Opsa::Time>>(value)) {
            put32(out, std::uint32_t(time.seconds()));
            put32(out, std::uint32_t(time.microseconds()));
        }
        break;
    }
    return out;
}

TagValue TagValue::fromString(const std::string &aText)
{
    std::istringstream in(aText);
    skipBlanks(in);
    TagValue result;
    if (!parseScalar(in, result))
        return TagValue();
    skipBlanks(in);
    if (in.peek() != std::char_traits<char>::eof()) {
        // Something follows the value: the text as a whole is not a tag value.
        parseError();
        return TagValue();
    }
    return result;
}

std::ostream &operator<<(std::ostream &aOut, const TagValue &aValue)
{
    return aOut << aValue.toString();
}

std::istream &operator>>(std::istream &aIn, TagValue &aValue)
{
    skipBlanks(aIn);
    bool atEnd = aIn.peek() == std::char_traits<char>::eof();
    TagValue parsed;
    if (!parseScalar(aIn, parsed)) {
        aIn.setstate(std::ios::failbit);
        return aIn;
    }
    aValue.value = std::move(parsed.value);
    // A value that ends with the stream (an unterminated string) was still read.
    aIn.clear(aIn.rdstate() & ~std::ios::failbit);
    // As for any extractor, reading at the end of the stream fails, so read loops end.
    if (atEnd)
        aIn.setstate(std::ios::failbit);
    return aIn;
}

} // namespace Opsa
