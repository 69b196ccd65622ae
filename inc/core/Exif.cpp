#include "core/Exif"

#include "core/Report"

#include <cstring>
#include <libexif/exif-data.h>
#include <libexif/exif-loader.h>
#include <memory>
#include <numeric>

namespace core {
namespace {

    struct Unref
    {
        void operator()(ExifData *aData) const { exif_data_unref(aData); }
        void operator()(ExifLoader *aLoader) const { exif_loader_unref(aLoader); }
        void operator()(ExifMem *aMem) const { exif_mem_unref(aMem); }
    };
    using Data = std::unique_ptr<ExifData, Unref>;

    // Loads a block as it is: no tag dropped for being unknown (a lens model newer than the
    // library) and nothing "fixed" (that would invent tags, such as today's date).
    Data load(ExifMem *aMem, const ExifBlock &aBlock)
    {
        Data data(exif_data_new_mem(aMem));
        if (!data)
            return data;
        exif_data_unset_option(data.get(), EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
        exif_data_unset_option(data.get(), EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
        if (!aBlock.empty())
            exif_data_load_data(data.get(), aBlock.data(), unsigned(aBlock.size()));
        return data;
    }

    void remove(ExifData *aData, ExifIfd aIfd, ExifTag aTag)
    {
        if (ExifEntry *entry = exif_content_get_entry(aData->ifd[aIfd], aTag))
            exif_content_remove_entry(aData->ifd[aIfd], entry);
    }

    // A new entry of aCount values of aFormat (zeroed) in place of any old one; null when out
    // of memory.
    ExifEntry *replace(ExifMem *aMem, ExifData *aData, ExifIfd aIfd, ExifTag aTag,
        ExifFormat aFormat, unsigned aCount)
    {
        remove(aData, aIfd, aTag);
        ExifEntry *entry = exif_entry_new_mem(aMem);
        if (!entry)
            return nullptr;
        const unsigned size = exif_format_get_size(aFormat) * aCount;
        entry->data = static_cast<unsigned char *>(exif_mem_alloc(aMem, size));
        if (!entry->data) {
            exif_entry_unref(entry);
            return nullptr;
        }
        entry->tag = aTag;
        entry->format = aFormat;
        entry->components = aCount;
        entry->size = size;
        exif_content_add_entry(aData->ifd[aIfd], entry);
        exif_entry_unref(entry); // the content holds it now
        return entry;
    }

    bool setText(
        ExifMem *aMem, ExifData *aData, ExifIfd aIfd, ExifTag aTag, const std::string &aText)
    {
        if (aText.empty())
            return true;
        ExifEntry *entry
            = replace(aMem, aData, aIfd, aTag, EXIF_FORMAT_ASCII, unsigned(aText.size() + 1));
        if (entry)
            std::memcpy(entry->data, aText.c_str(), aText.size() + 1);
        return entry != nullptr;
    }

    bool setLong(ExifMem *aMem, ExifData *aData, ExifIfd aIfd, ExifTag aTag, ExifLong aValue)
    {
        ExifEntry *entry = replace(aMem, aData, aIfd, aTag, EXIF_FORMAT_LONG, 1);
        if (entry)
            exif_set_long(entry->data, exif_data_get_byte_order(aData), aValue);
        return entry != nullptr;
    }

} // namespace

ExifBlock readExif(const char *aPath)
{
    std::unique_ptr<ExifMem, Unref> mem(exif_mem_new_default());
    std::unique_ptr<ExifLoader, Unref> loader(mem ? exif_loader_new_mem(mem.get()) : nullptr);
    if (!loader)
        return ExifBlock();
    exif_loader_write_file(loader.get(), aPath);
    const unsigned char *bytes = nullptr;
    unsigned int size = 0;
    exif_loader_get_buf(loader.get(), &bytes, &size);
    return bytes ? ExifBlock(bytes, bytes + size) : ExifBlock();
}

int exifOrientation(const ExifBlock &aBlock)
{
    std::unique_ptr<ExifMem, Unref> mem(exif_mem_new_default());
    Data data = mem ? load(mem.get(), aBlock) : Data();
    if (!data)
        return 1;
    ExifEntry *entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
    if (!entry || entry->format != EXIF_FORMAT_SHORT || entry->size < 2 || !entry->data)
        return 1;
    return exif_get_short(entry->data, exif_data_get_byte_order(data.get()));
}

ExifBlock resultExif(const ExifBlock &aSource, const ExifFacts &aFacts, int aWidth, int aHeight)
{
    std::unique_ptr<ExifMem, Unref> mem(exif_mem_new_default());
    Data data = mem ? load(mem.get(), aSource) : Data();
    if (!data) {
        report("Cannot make EXIF data: out of memory.\n");
        return ExifBlock();
    }
    ExifData *d = data.get();
    ExifMem *m = mem.get();

    // The thumbnail shows the single input, and its IFD only describes the thumbnail.
    exif_mem_free(m, d->data);
    d->data = nullptr;
    d->size = 0;
    while (d->ifd[EXIF_IFD_1]->count)
        exif_content_remove_entry(d->ifd[EXIF_IFD_1], d->ifd[EXIF_IFD_1]->entries[0]);
    // Maker notes hold the single input's settings, at offsets a new layout would break.
    // The unique ID names the input's picture, not this new one.
    for (ExifTag tag :
        { EXIF_TAG_EXPOSURE_TIME, EXIF_TAG_SHUTTER_SPEED_VALUE, EXIF_TAG_EXPOSURE_BIAS_VALUE,
            EXIF_TAG_BRIGHTNESS_VALUE, EXIF_TAG_MAKER_NOTE, EXIF_TAG_IMAGE_UNIQUE_ID })
        remove(d, EXIF_IFD_EXIF, tag);
    remove(d, EXIF_IFD_0, EXIF_TAG_IMAGE_WIDTH);
    remove(d, EXIF_IFD_0, EXIF_TAG_IMAGE_LENGTH);

    bool ok = setLong(m, d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_X_DIMENSION, ExifLong(aWidth))
        && setLong(m, d, EXIF_IFD_EXIF, EXIF_TAG_PIXEL_Y_DIMENSION, ExifLong(aHeight))
        && setText(m, d, EXIF_IFD_0, EXIF_TAG_MAKE, aFacts.make)
        && setText(m, d, EXIF_IFD_0, EXIF_TAG_MODEL, aFacts.model)
        && setText(m, d, EXIF_IFD_0, EXIF_TAG_SOFTWARE, aFacts.software)
        && setText(m, d, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, aFacts.dateTimeOriginal);
    if (ok && aFacts.exposureMicroseconds > 0) {
        const ExifLong us = ExifLong(aFacts.exposureMicroseconds);
        const ExifLong divisor = std::gcd(us, ExifLong(1000000));
        ExifEntry *entry
            = replace(m, d, EXIF_IFD_EXIF, EXIF_TAG_EXPOSURE_TIME, EXIF_FORMAT_RATIONAL, 1);
        if ((ok = entry != nullptr))
            exif_set_rational(entry->data, exif_data_get_byte_order(d),
                ExifRational { us / divisor, 1000000 / divisor });
    }
    if (ok && aFacts.isoSpeed > 0) {
        ExifEntry *entry
            = replace(m, d, EXIF_IFD_EXIF, EXIF_TAG_ISO_SPEED_RATINGS, EXIF_FORMAT_SHORT, 1);
        if ((ok = entry != nullptr))
            exif_set_short(entry->data, exif_data_get_byte_order(d),
                ExifShort(aFacts.isoSpeed > 65535 ? 65535 : aFacts.isoSpeed));
    }
    unsigned char *bytes = nullptr;
    unsigned int size = 0;
    if (ok)
        exif_data_save_data(d, &bytes, &size);
    if (!bytes) {
        report("Cannot make EXIF data: out of memory.\n");
        return ExifBlock();
    }
    ExifBlock block(bytes, bytes + size);
    exif_mem_free(m, bytes);
    return block;
}

} // namespace core
