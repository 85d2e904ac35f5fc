// The tar extractor: a step machine fed with the archive's bytes in pieces of any size. Regular
// files and folders are written through the extraction target; GNU long names and pax records name
// the member that follows; everything else (links, devices, unknown types) is skipped by its size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/actions/extract_target.h"
#include "client/actions/tar_header.h"

namespace orvane {

enum class TarState : int {
    kHeader,    // the next block is a header
    kFileData,  // writing a member's data
    kSkipData,  // passing over data that is not extracted, and the padding after data
    kLongName,  // collecting a GNU long name (type "L")
    kPaxData,   // collecting pax records (type "x")
    kEnd,       // the end block was read; the rest of the input is ignored
    kFailed,
    kCount,
};
const char* tar_state_name(TarState state);

class TarExtractor {
  public:
    explicit TarExtractor(ExtractTarget& target) : target_(target) {}

    // Takes the next piece of the archive. 0 while all is well; 1 once it has failed (cause()).
    int feed(const uint8_t* data, size_t size);
    // The input has ended: 0 when the end block had been read; 1 otherwise (the cause then says the
    // archive stops early), with the member being written left as it is.
    int finish();

    TarState state() const { return state_; }
    // Called on every change of state (for debugging a hostile archive), with its context.
    using StateTrace = void (*)(void* context, TarState from, TarState to);
    void set_trace(StateTrace trace, void* context) {
        trace_ = trace;
        trace_context_ = context;
    }
    const std::string& cause() const { return cause_; }

  private:
    int on_block(const uint8_t* block);
    int start_member(TarHeader header);
    // Makes the member's folder or file; leaves the state at kHeader when its data is not written.
    int extract_member(const TarHeader& header, const std::string& name);
    int fail(std::string cause);
    void set_state(TarState state);
    // After `size` bytes of data, the padding up to the next block boundary is skipped.
    void skip(uint64_t size);

    ExtractTarget& target_;
    TarState state_ = TarState::kHeader;
    StateTrace trace_ = nullptr;
    void* trace_context_ = nullptr;
    std::array<uint8_t, kTarBlock> block_{};
    size_t have_ = 0;         // bytes of a partial header block in block_
    uint64_t remaining_ = 0;  // data bytes of the current state still to come
    uint64_t padding_ = 0;    // then this many bytes to skip
    int64_t member_mtime_ = 0;
    std::string collected_;  // long name or pax records (bounded)
    PaxValues next_;         // what a long name or pax header says about the next member
    bool have_long_name_ = false;
    std::string long_name_;
    std::string cause_;
};

}  // namespace orvane
