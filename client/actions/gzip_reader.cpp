// gzip streams, single gzip files, and tar archives read through the gzip stream.
#include "client/actions/gzip_reader.h"

#include <cerrno>
#include <climits>
#include <memory>
#include <vector>

#include "client/actions/extract_target.h"
#include "client/actions/tar_extractor.h"
#include "common/safe_name.h"
#include "platform/confined_folder.h"
#include "platform/system.h"

namespace orvane {
namespace {

std::string zlib_cause(gzFile file) {
    int code = Z_OK;
    const char* text = gzerror(file, &code);
    if (code == Z_ERRNO) return platform::error_text(errno);
    return text && *text ? text : "damaged gzip data";
}

}  // namespace

GzipInput::~GzipInput() {
    if (file_) gzclose(file_);
}

int GzipInput::open(const std::string& path, std::string& cause) {
    errno = 0;
    file_ = gzopen(path.c_str(), "rb");
    if (!file_) {
        cause = "cannot open " + escape_controls(path) + " (" +
                (errno ? platform::error_text(errno) : std::string("out of memory")) + ")";
        return 1;
    }
    gzbuffer(file_, kGzipReadSize);
    return 0;
}

int64_t GzipInput::read(void* data, size_t size, std::string& cause) {
    int n = gzread(file_, data, static_cast<unsigned>(std::min<size_t>(size, INT_MAX)));
    if (n >= 0) {
        int code = Z_OK;
        gzerror(file_, &code);
        // zlib returns what it had before a fault; the fault shows on the next call or here.
        if (n == 0 && code != Z_OK && code != Z_STREAM_END) {
            cause = zlib_cause(file_);
            return -1;
        }
        return n;
    }
    cause = zlib_cause(file_);
    return -1;
}

int GzipInput::close(std::string& cause) {
    if (!file_) return 0;
    int code = gzclose(file_);
    file_ = nullptr;
    if (code == Z_OK) return 0;
    cause = code == Z_BUF_ERROR ? "the gzip data stops early" : "the gzip stream cannot be closed";
    return 1;
}

int gunzip_to(const std::string& archive, ExtractTarget& target, const std::string& relative,
              std::string& cause) {
    GzipInput input;
    if (input.open(archive, cause) != 0) return 1;
    if (target.create(relative, cause) != 0) return 1;
    std::vector<uint8_t> buffer(kGzipReadSize);
    for (;;) {
        int64_t n = input.read(buffer.data(), buffer.size(), cause);
        if (n < 0) {
            target.abandon();
            return 1;
        }
        if (n == 0) break;
        if (target.write(buffer.data(), static_cast<size_t>(n), cause) != 0) {
            target.abandon();
            return 1;
        }
    }
    if (target.finish(0, cause) != 0) return 1;
    return input.close(cause);
}

int untar_to(const std::string& archive, ExtractTarget& target, std::string& cause) {
    GzipInput input;
    if (input.open(archive, cause) != 0) return 1;
    TarExtractor extractor(target);
    std::vector<uint8_t> buffer(kGzipReadSize);
    for (;;) {
        int64_t n = input.read(buffer.data(), buffer.size(), cause);
        if (n < 0) {
            target.abandon();
            return 1;
        }
        if (n == 0) break;
        if (extractor.feed(buffer.data(), static_cast<size_t>(n)) != 0) {
            cause = extractor.cause();
            return 1;
        }
        if (extractor.state() == TarState::kEnd) break;
    }
    if (extractor.finish() != 0) {
        cause = extractor.cause();
        return 1;
    }
    // After the end block the rest is not read, so a cut-short tail is not a fault here.
    std::string ignored;
    input.close(ignored);
    return 0;
}

}  // namespace orvane
