// RemoteListing: the entries of one listing, kept compactly (fixed fields in small records, the texts
// of all entries in one shared string), with a bound on how many it holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "client/transfer/session/remote_file_entry.h"

namespace orvane {

class RemoteListing {
  public:
    // The most entries one listing may hold; a server that lists more is refused.
    static constexpr size_t kMaxEntries = 1000000;
    // The most bytes its records and texts may take: a million entries of long names would
    // otherwise take most of a gigabyte.
    static constexpr size_t kMaxBytes = size_t{64} << 20;

    class const_iterator {
      public:
        using iterator_category = std::input_iterator_tag;
        using value_type = RemoteFileEntry;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = RemoteFileEntry;
        const_iterator(const RemoteListing* listing, size_t index) : listing_(listing), index_(index) {}
        RemoteFileEntry operator*() const { return (*listing_)[index_]; }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        bool operator==(const const_iterator& o) const { return index_ == o.index_; }
        bool operator!=(const const_iterator& o) const { return index_ != o.index_; }

      private:
        const RemoteListing* listing_;
        size_t index_;
    };

    size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    bool full() const { return records_.size() >= kMaxEntries || bytes_used() >= kMaxBytes; }
    // Why a full listing is full: "more than N entries" or "more than 64 MB of entries".
    std::string full_cause() const;
    // Frees everything held.
    void clear();
    // Appends a copy (texts cut to their capacities). 1 when the listing is full (nothing added).
    int push_back(const RemoteFileEntry& e);
    // A copy of entry i (i < size()).
    RemoteFileEntry operator[](size_t i) const;
    // Copies of every entry, in order.
    std::vector<RemoteFileEntry> entries() const { return std::vector<RemoteFileEntry>(begin(), end()); }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, records_.size()); }
    // Bytes held by the records and texts (for the memory benchmark).
    size_t bytes_held() const { return records_.capacity() * sizeof(Record) + texts_.capacity(); }
    size_t bytes_used() const { return records_.size() * sizeof(Record) + texts_.size(); }

  private:
    struct Record {
        uint64_t size;
        uint64_t file_time;
        uint32_t text_at;  // where this entry's texts start in texts_
        uint32_t unix_time;
        uint32_t sftp_flags;
        uint32_t permissions;
        uint16_t name_length;
        uint16_t long_name_length;
        uint16_t full_path_length;
        uint8_t size_text_length;
        uint8_t time_text_length;
        int8_t type;
        uint8_t walk_flags;
        uint8_t exact;
    };
    std::vector<Record> records_;
    std::string texts_;  // name, long name, full path, size text, time text of every entry, in order
};

}  // namespace orvane
