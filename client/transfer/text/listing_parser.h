// The remote listing parser: LIST lines in Unix, MS-DOS and EPLF layouts, and NLST name lists.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "client/transfer/session/remote_file_entry.h"

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

}  // namespace orvane
