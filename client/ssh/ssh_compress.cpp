// zlib deflate and inflate with partial flushes, in 4096-byte scratch steps.
#include "client/ssh/ssh_compress.h"

#include <openssl/crypto.h>

namespace orvane::ssh {

namespace {
constexpr size_t kScratch = 4096;

std::string zlib_cause(const char* what, const z_stream& s, int code) {
    return std::string(what) + " (" + (s.msg ? s.msg : zError(code)) + ")";
}
}  // namespace

Deflater::~Deflater() {
    if (started_) deflateEnd(&stream_);
}

int Deflater::compress(const uint8_t* data, size_t n, SshBuffer& out, std::string& error) {
    if (!started_) {
        int r = deflateInit2(&stream_, 6, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY);
        if (r != Z_OK) {
            error = zlib_cause("compression could not start", stream_, r);
            return 1;
        }
        started_ = true;
    }
    uint8_t scratch[kScratch];
    stream_.next_in = const_cast<uint8_t*>(data);
    stream_.avail_in = static_cast<uInt>(n);
    int status = 0;
    do {
        stream_.next_out = scratch;
        stream_.avail_out = sizeof scratch;
        int r = deflate(&stream_, Z_PARTIAL_FLUSH);
        if (r != Z_OK && r != Z_BUF_ERROR) {
            error = zlib_cause("compression failed", stream_, r);
            status = 1;
            break;
        }
        out.put_bytes(scratch, sizeof scratch - stream_.avail_out);
    } while (stream_.avail_out == 0);
    OPENSSL_cleanse(scratch, sizeof scratch);
    if (status == 0 && !out.ok()) {
        error = "compressed packet too large";
        status = 1;
    }
    return status;
}

Inflater::~Inflater() {
    if (started_) inflateEnd(&stream_);
}

int Inflater::decompress(const uint8_t* data, size_t n, SshBuffer& out, size_t limit, std::string& error) {
    if (!started_) {
        int r = inflateInit(&stream_);
        if (r != Z_OK) {
            error = zlib_cause("decompression could not start", stream_, r);
            return 1;
        }
        started_ = true;
    }
    uint8_t scratch[kScratch];
    stream_.next_in = const_cast<uint8_t*>(data);
    stream_.avail_in = static_cast<uInt>(n);
    size_t produced = 0;
    int status = 0;
    for (;;) {
        stream_.next_out = scratch;
        stream_.avail_out = sizeof scratch;
        int r = inflate(&stream_, Z_PARTIAL_FLUSH);
        size_t got = sizeof scratch - stream_.avail_out;
        produced += got;
        if (produced > limit) {
            error = "decompressed packet too large";
            status = 1;
            break;
        }
        out.put_bytes(scratch, got);
        if (r == Z_BUF_ERROR || (r == Z_OK && stream_.avail_in == 0 && stream_.avail_out != 0)) break;
        if (r != Z_OK) {
            // Z_STREAM_END included: an SSH stream never ends while the session lives.
            error = zlib_cause("decompression failed", stream_, r);
            status = 1;
            break;
        }
    }
    OPENSSL_cleanse(scratch, sizeof scratch);
    return status;
}

}  // namespace orvane::ssh
