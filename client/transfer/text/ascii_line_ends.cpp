// ASCII line-end conversion for FTP transfers, block by block.
#include "client/transfer/text/ascii_line_ends.h"

namespace orvane {

size_t AsciiDecoder::convert(const uint8_t* in, size_t n, uint8_t* out) {
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in[i];
        if (held_cr_) {
            held_cr_ = false;
            if (b != '\n') out[w++] = '\r';  // a lone CR
        }
        if (b == '\r') {
            held_cr_ = true;
        } else {
            out[w++] = b;
        }
    }
    return w;
}

size_t AsciiDecoder::finish(uint8_t* out) {
    if (!held_cr_) return 0;
    held_cr_ = false;
    out[0] = '\r';
    return 1;
}

size_t AsciiEncoder::convert(const uint8_t* in, size_t n, uint8_t* out) {
    size_t w = 0;
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = in[i];
        if (b == '\n' && !after_cr_) out[w++] = '\r';
        out[w++] = b;
        after_cr_ = b == '\r';
    }
    return w;
}

}  // namespace orvane
