#include "core/jbufsrc"

#include <jerror.h>

namespace core {
namespace {

    // Two bytes of end-of-image marker, handed out when the buffer runs dry.
    const JOCTET KEndOfImage[2] = { 0xFF, JPEG_EOI };

    void initSource(j_decompress_ptr) { }

    boolean fillInputBuffer(j_decompress_ptr aInfo)
    {
        WARNMS(aInfo, JWRN_JPEG_EOF);
        aInfo->src->next_input_byte = KEndOfImage;
        aInfo->src->bytes_in_buffer = sizeof KEndOfImage;
        return TRUE;
    }

    void skipInputData(j_decompress_ptr aInfo, long aCount)
    {
        if (aCount <= 0)
            return;
        jpeg_source_mgr *src = aInfo->src;
        std::size_t n = static_cast<std::size_t>(aCount);
        if (n > src->bytes_in_buffer)
            n = src->bytes_in_buffer;
        src->next_input_byte += n;
        src->bytes_in_buffer -= n;
    }

    void termSource(j_decompress_ptr) { }

} // namespace

void jpegBufferSource(j_decompress_ptr aInfo, const unsigned char *aBuffer, std::size_t aSize)
{
    if (!aInfo->src) {
        aInfo->src = static_cast<jpeg_source_mgr *>((*aInfo->mem->alloc_small)(
            reinterpret_cast<j_common_ptr>(aInfo), JPOOL_PERMANENT, sizeof(jpeg_source_mgr)));
    }
    jpeg_source_mgr *src = aInfo->src;
    src->init_source = initSource;
    src->fill_input_buffer = fillInputBuffer;
    src->skip_input_data = skipInputData;
    src->resync_to_restart = jpeg_resync_to_restart;
    src->term_source = termSource;
    src->next_input_byte = aBuffer;
    src->bytes_in_buffer = aSize;
}

} // namespace core
