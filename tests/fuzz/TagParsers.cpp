// The tag-value parsers, text (FUZZ_TAG_TEXT) or binary form: any bytes parse or are refused
// with an error event, and every value that parsed reads back from its own text and binary
// forms as the same value.

#include "FuzzSupport.h"

#include <Opsa/TagValue.h>
#include <sstream>

namespace {

void requireRoundTrip(const Opsa::TagValue &aValue)
{
    const std::string text = aValue.toString();
    const Opsa::TagValue fromText = Opsa::TagValue::fromString(text);
    // A float vector of one element prints without its "f" and reads back as a double vector
    // of the same number: the frame dump's long-standing form.
    const bool singleFloat
        = aValue.type() == Opsa::TagValue::FloatVector && aValue.asFloatVector().size() == 1;
    if (!singleFloat && (fromText.type() != aValue.type() || fromText.toString() != text))
        std::abort();
    const std::string blob = aValue.toBlob();
    if (Opsa::TagValue::fromString(blob).toBlob() != blob)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *aData, std::size_t aSize)
{
    std::string input(reinterpret_cast<const char *>(aData), aSize);
#if !defined(FUZZ_TAG_TEXT)
    input.insert(0, 1, 'b');
#endif
    requireRoundTrip(Opsa::TagValue::fromString(input));
    std::istringstream in(input);
    Opsa::TagValue value;
    while (in >> value)
        requireRoundTrip(value);
    fuzz::drainEvents();
    return 0;
}
