// Line ends of FTP ASCII transfers: CR LF on the wire, LF in the local file (as Unix clients do).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvane {

// Wire to file: every CR LF becomes LF; a lone CR stays. A pair split between two blocks is still
// one pair: a CR at the end of a block is held until the next byte (or finish()) shows what it was.
class AsciiDecoder {
  public:
    // Converts n bytes into `out`, which has room for n + 1 bytes. Returns the bytes written.
    size_t convert(const uint8_t* in, size_t n, uint8_t* out);
    // The end of the stream: a held CR, if any, into `out` (room for 1). Returns 0 or 1.
    size_t finish(uint8_t* out);

  private:
    bool held_cr_ = false;
};

// File to wire: a LF that does not follow a CR becomes CR LF; everything else is kept, so a file
// that already has CR LF line ends goes out unchanged. The previous block's last byte counts.
class AsciiEncoder {
  public:
    // Converts n bytes into `out`, which has room for 2 * n bytes. Returns the bytes written.
    size_t convert(const uint8_t* in, size_t n, uint8_t* out);

  private:
    bool after_cr_ = false;
};

}  // namespace orvane
