// Tar extraction steps.
#include "client/actions/tar_extractor.h"

#include <algorithm>
#include <cstring>

#include "common/limits.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/file.h"

namespace orvane {
namespace {

constexpr const char* kStateNames[] = {"header",   "file data", "skip data", "long name",
                                       "pax data", "end",       "failed"};
static_assert(sizeof kStateNames / sizeof kStateNames[0] == static_cast<size_t>(TarState::kCount));

// A long name or pax header is kept up to this size; a longer one is skipped and names nothing
// (and a name that long could never be a member path anyway).
constexpr size_t kCollectCapacity = 16 * 1024;

// The FILETIME of a member's time; 0 (leave the time alone) for one before 1970 or past year 9999.
uint64_t member_filetime(int64_t mtime) {
    return mtime <= 0 || mtime > 253402300799LL ? 0 : platform::filetime_from_unix(mtime);
}

uint64_t padding_after(uint64_t size) {
    return (kTarBlock - size % kTarBlock) % kTarBlock;
}

}  // namespace

const char* tar_state_name(TarState state) {
    return kStateNames[static_cast<size_t>(state)];
}

void TarExtractor::set_state(TarState state) {
    if (trace_ && state != state_) trace_(trace_context_, state_, state);
    state_ = state;
}

int TarExtractor::fail(std::string cause) {
    cause_ = std::move(cause);
    target_.abandon();
    set_state(TarState::kFailed);
    return 1;
}

void TarExtractor::skip(uint64_t size) {
    remaining_ = size;
    padding_ = padding_after(size);
}

int TarExtractor::feed(const uint8_t* data, size_t size) {
    while (size > 0) {
        switch (state_) {
            case TarState::kFailed:
                return 1;
            case TarState::kEnd:
                return 0;
            case TarState::kHeader: {
                size_t n = std::min(size, kTarBlock - have_);
                memcpy(block_.data() + have_, data, n);
                have_ += n, data += n, size -= n;
                if (have_ < kTarBlock) break;
                have_ = 0;
                if (on_block(block_.data()) != 0) return 1;
                break;
            }
            default: {
                // Data of a member (written, collected or skipped), then its padding.
                if (remaining_ == 0) {
                    size_t n = static_cast<size_t>(std::min<uint64_t>(size, padding_));
                    padding_ -= n, data += n, size -= n;
                    if (padding_ == 0) set_state(TarState::kHeader);
                    break;
                }
                size_t n = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
                if (state_ == TarState::kFileData) {
                    if (target_.write(data, n, cause_) != 0) return fail(cause_);
                } else if (state_ == TarState::kLongName || state_ == TarState::kPaxData) {
                    size_t room = kCollectCapacity - std::min(kCollectCapacity, collected_.size());
                    collected_.append(reinterpret_cast<const char*>(data), std::min(n, room));
                }
                remaining_ -= n, data += n, size -= n;
                if (remaining_ > 0) break;
                if (state_ == TarState::kFileData) {
                    if (target_.finish(member_filetime(member_mtime_), cause_) != 0) return fail(cause_);
                } else if (state_ == TarState::kLongName) {
                    have_long_name_ = true;
                    long_name_ = collected_.substr(0, strnlen(collected_.data(), collected_.size()));
                } else if (state_ == TarState::kPaxData) {
                    read_pax_records(collected_, next_);  // a damaged record only loses what follows it
                }
                if (padding_ == 0)
                    set_state(TarState::kHeader);
                else
                    set_state(TarState::kSkipData);
                break;
            }
        }
    }
    return state_ == TarState::kFailed ? 1 : 0;
}

int TarExtractor::on_block(const uint8_t* block) {
    TarHeader header;
    switch (read_tar_header(block, header)) {
        case TarBlockKind::kEnd:
            set_state(TarState::kEnd);
            return 0;
        case TarBlockKind::kBad:
            return fail("a header block is damaged (its checksum or a number is wrong)");
        case TarBlockKind::kHeader:
            break;
    }
    switch (header.type) {
        case 'L':
        case 'x':
            collected_.clear();
            skip(header.size);
            set_state(header.size == 0     ? TarState::kHeader
                      : header.type == 'x' ? TarState::kPaxData
                                           : TarState::kLongName);
            return 0;
        case 'g':
        case 'K':
            // Global pax records and GNU long link names: nothing this reader uses.
            skip(header.size);
            set_state(header.size == 0 ? TarState::kHeader : TarState::kSkipData);
            return 0;
        default:
            return start_member(header);
    }
}

int TarExtractor::start_member(TarHeader header) {
    if (next_.has_size) header.size = next_.size;
    if (next_.has_mtime) header.mtime = next_.mtime;
    std::string name = header.name;
    if (next_.has_path)
        name = next_.path;
    else if (have_long_name_)
        name = long_name_;
    next_ = PaxValues();
    have_long_name_ = false;
    long_name_.clear();
    skip(header.size);
    int result = extract_member(header, name);
    if (result == 0 && state_ == TarState::kHeader && header.size > 0) set_state(TarState::kSkipData);
    return result;
}

int TarExtractor::extract_member(const TarHeader& header, const std::string& name) {
    bool regular = header.type == '0' || header.type == '7';
    bool folder = header.type == '5';
    if (!regular && !folder) {
        // Links, devices, fifos, GNU's own types and global pax records: their data (if any) is
        // skipped. Links are never made, so no later member can be led out through one.
        if (header.type == '1' || header.type == '2')
            outputf(kLevelWarning, "Skipped the link %s: links are not extracted",
                    shown_member_name(name).c_str());
        return 0;
    }
    std::string relative;
    MemberPath kind;
    if (ExtractTarget::place(name, relative, kind, cause_) != 0) return fail(cause_);
    if (kind == MemberPath::kEmpty) return 0;
    if (folder || kind == MemberPath::kFolder) {
        if (target_.make_folder(relative, cause_) != 0)
            return fail("the member " + shown_member_name(name) + " cannot be extracted: " + cause_);
        return 0;
    }
    if (target_.create(relative, cause_) != 0)
        return fail("the member " + shown_member_name(name) + " cannot be extracted: " + cause_);
    member_mtime_ = header.mtime;
    if (header.size == 0)
        return target_.finish(member_filetime(member_mtime_), cause_) != 0 ? fail(cause_) : 0;
    set_state(TarState::kFileData);
    return 0;
}

int TarExtractor::finish() {
    if (state_ == TarState::kFailed) return 1;
    if (state_ == TarState::kEnd) return 0;
    target_.abandon();
    cause_ = "the archive stops before its end block";
    set_state(TarState::kFailed);
    return 1;
}

}  // namespace orvane
