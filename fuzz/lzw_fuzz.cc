// Fuzzes the LZW decoder with arbitrary bytes (it must stay in bounds and report a status),
// and checks that compressing the same bytes and decoding them gives them back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "transport/lzw.h"
#include "transport/stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    q2::TToolMemoryStream in, out;
    in.Write(data, size);
    in.Seek(0, q2::tSeekOrigin::soBeginning);
    const int status = q2::LzDecompress(in, out);
    if (status != q2::kLzOk && status != q2::kLzBadSource) std::abort();
    if (in.Position() > static_cast<int64_t>(size)) std::abort();
  }
  {
    q2::TToolMemoryStream plain, coded, back;
    plain.Write(data, size);
    plain.Seek(0, q2::tSeekOrigin::soBeginning);
    if (q2::LzCompress(plain, coded) != q2::kLzOk) std::abort();
    coded.Seek(0, q2::tSeekOrigin::soBeginning);
    if (q2::LzDecompress(coded, back) != q2::kLzOk) std::abort();
    if (back.SizeBytes() != static_cast<int64_t>(size)) std::abort();
    if (size != 0 && std::memcmp(back.Memory(), data, size) != 0) std::abort();
    if (coded.Position() != coded.SizeBytes()) std::abort();
  }
  return 0;
}
