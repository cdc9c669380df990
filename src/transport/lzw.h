// LZW compression of the XML-over-TCP payloads: codes of 9 to 12 bits packed least
// significant bit first, with explicit control codes.
//
//   0-255     literal byte          257  widen: later codes are one bit wider (max 12)
//   256       end of data           258  clear: empty dictionary, back to 9 bits
//   259-4095  dictionary entries (prefix code, appended byte), assigned in order
//
// A code x is preceded by widen codes while x >= 2^w - 1 and w < 12, so 511 at 9 bits is
// sent as 257 then 511 in 10 bits. After the end code the last partial byte is padded with
// zero bits. "abc" gives 61 C4 8C 01 08. Both work one byte at a time through the streams
// and allocate their dictionary once per call. Any thread.
#pragma once

#include "transport/stream.h"

namespace q2 {

inline constexpr int kLzOk = 0;
inline constexpr int kLzShortWrite = 1;  // the destination accepted fewer bytes than offered
inline constexpr int kLzBadSource = 2;   // the source ended early or held an invalid code

// Compresses `source` from its position to its end onto `destination` at its position.
// An empty source writes nothing at all. Returns kLzOk or kLzShortWrite.
int LzCompress(ITransportStream& source, ITransportStream& destination);

// Decodes codes from `source` at its position up to the end code, writing the bytes to
// `destination`; never reads past the end code. Returns kLzOk, kLzShortWrite or
// kLzBadSource (a source that ends before the end code, a widen code at 12 bits, a code
// above the next free one, a first code that is not a literal); bytes written before the
// fault stay written. A source that yields no byte at all decodes to nothing with kLzOk.
int LzDecompress(ITransportStream& source, ITransportStream& destination);

}  // namespace q2
