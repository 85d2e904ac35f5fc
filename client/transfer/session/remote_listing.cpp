// RemoteListing: packing entries into records and one text store, and unpacking them on request.
#include "client/transfer/session/remote_listing.h"

#include <algorithm>

#include "common/text.h"

namespace orvane {

void RemoteListing::clear() {
    std::vector<Record>().swap(records_);
    std::string().swap(texts_);
}

std::string RemoteListing::full_cause() const {
    if (records_.size() >= kMaxEntries)
        return "The listing holds more than " + std::to_string(kMaxEntries) + " entries";
    return "The listing holds more than " + std::to_string(kMaxBytes >> 20) + " MB of entries";
}

int RemoteListing::push_back(const RemoteFileEntry& e) {
    if (full()) return 1;
    std::string_view name = std::string_view(e.name).substr(0, kPathCapacity);
    std::string_view long_name = std::string_view(e.long_name).substr(0, kPathCapacity);
    std::string_view full_path = std::string_view(e.full_path).substr(0, kPathCapacity);
    std::string_view size_text = std::string_view(e.size_text).substr(0, RemoteFileEntry::kSizeTextCapacity);
    std::string_view time_text = std::string_view(e.time_text).substr(0, RemoteFileEntry::kTimeTextCapacity);
    Record r{};
    r.size = e.size;
    r.file_time = e.file_time;
    r.text_at = static_cast<uint32_t>(texts_.size());
    r.unix_time = e.unix_time;
    r.sftp_flags = e.sftp_flags;
    r.permissions = e.permissions;
    r.name_length = static_cast<uint16_t>(name.size());
    r.long_name_length = static_cast<uint16_t>(long_name.size());
    r.full_path_length = static_cast<uint16_t>(full_path.size());
    r.size_text_length = static_cast<uint8_t>(size_text.size());
    r.time_text_length = static_cast<uint8_t>(time_text.size());
    r.type = static_cast<int8_t>(e.type);
    r.walk_flags = static_cast<uint8_t>(std::clamp(e.walk_flags, 0, 255));
    r.exact = static_cast<uint8_t>(e.exact & (kExactSize | kExactTime));
    texts_.append(name).append(long_name).append(full_path).append(size_text).append(time_text);
    records_.push_back(r);
    return 0;
}

RemoteFileEntry RemoteListing::operator[](size_t i) const {
    const Record& r = records_[i];
    RemoteFileEntry e;
    size_t at = r.text_at;
    auto take = [&](size_t n) {
        std::string s = texts_.substr(at, n);
        at += n;
        return s;
    };
    e.name = take(r.name_length);
    e.long_name = take(r.long_name_length);
    e.full_path = take(r.full_path_length);
    e.size_text = take(r.size_text_length);
    e.time_text = take(r.time_text_length);
    e.size = r.size;
    e.file_time = r.file_time;
    e.type = r.type;
    e.unix_time = r.unix_time;
    e.sftp_flags = r.sftp_flags;
    e.permissions = r.permissions;
    e.walk_flags = r.walk_flags;
    e.exact = r.exact;
    return e;
}

}  // namespace orvane
