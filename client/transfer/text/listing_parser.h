// The remote listing parser: LIST lines in Unix, MS-DOS and EPLF layouts, and NLST name lists.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "client/transfer/session/remote_file_entry.h"
#include "client/transfer/session/remote_listing.h"

namespace orvane {

// What "now" is for Unix lines that give a time instead of a year (UTC, like the system clock).
struct ListingClock {
    int year = 1970;
    int month = 1;
};
ListingClock listing_clock_now();

// One LIST line. 0 when recognised (the entry's name, type, size, size text, time text and file
// time are set; its other fields are left alone), 1 otherwise.
int parse_list_line(std::string_view line, const ListingClock& clock, RemoteFileEntry& out);

// A whole LIST answer: appends one entry per recognised line; lines not recognised, lines longer
// than the line capacity and the entries "." and ".." are skipped. Returns 0.
int parse_list(std::string_view listing, const ListingClock& clock, std::vector<RemoteFileEntry>& out);

// A whole NLST answer: one entry (name only, type file) per non-empty line. Returns 0.
int parse_nlst(std::string_view listing, std::vector<RemoteFileEntry>& out);

// Splits a listing into lines ending in CR LF, CR or LF; the last line may lack its line end
// (the data connection's close ends it). Calls `fn(context, line)` per line, empty ones included.
void for_each_listing_line(std::string_view listing, void (*fn)(void* context, std::string_view line),
                           void* context);

// A listing read as it arrives: bytes in, split anywhere; each complete line is parsed at once into
// the listing, so only the line being read is ever buffered. Lines end with LF or CR LF (a lone CR is part of
// its line); lines longer than the line capacity are skipped and counted; "." and ".." are dropped.
class ListingStream {
  public:
    enum class Kind { kList, kNames, kMachine };  // LIST, NLST, MLSD
    ListingStream(Kind kind, const ListingClock& clock, RemoteListing& out);

    // 0 when taken, 1 once the listing is full (more entries than it may hold; sticky).
    int feed(const void* data, size_t n);
    // The end of the stream: a last line without a line end counts. 0, or 1 when full.
    int finish();
    bool full() const { return full_; }
    const RemoteListing& listing() const { return out_; }
    size_t long_lines() const { return long_lines_; }
    // A machine listing's "unique" fact of the listed folder itself (its cdir line); empty without one.
    const std::string& folder_id() const { return folder_id_; }

  private:
    int end_line();

    Kind kind_;
    ListingClock clock_;
    RemoteListing& out_;
    std::string line_;       // the line being read, at most the line capacity
    bool too_long_ = false;  // the line being read has passed the capacity
    size_t long_lines_ = 0;
    bool full_ = false;
    std::string folder_id_;
};

}  // namespace orvane
