#include "installer/Payload.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "installer/ZipLayout.h"

namespace varnesk {

std::uint64_t PayloadView::Size() const {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += static_cast<std::uint64_t>(slices[i].length);
  return total;
}

bool IsIntactPayload(const PayloadView& payload, std::uint64_t size, std::uint32_t crc) {
  if (payload.Size() != size || size == 0) return false;
  uLong actual = crc32(0L, Z_NULL, 0);
  for (std::size_t i = 0; i < payload.count; ++i) {
    actual = crc32(actual, payload.slices[i].bytes, static_cast<uInt>(payload.slices[i].length));
  }
  if (actual != crc) return false;

  zip::EndRecord end;
  return FindPayloadEndRecord(payload, end) && end.totalEntries > 0 &&
         std::uint64_t{end.centralDirectoryOffset} + end.centralDirectorySize == end.offset;
}

bool FindPayloadEndRecord(const PayloadView& payload, zip::EndRecord& end) {
  const std::uint64_t size = payload.Size();
  const auto tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(size, zip::kMaxEndRecordTail));
  std::vector<unsigned char> tail(tailSize);
  PayloadStream stream(payload);
  stream.seekg(static_cast<std::streamoff>(size - tailSize));
  stream.read(reinterpret_cast<char*>(tail.data()), static_cast<std::streamsize>(tailSize));
  return stream && zip::FindEndRecord(tail.data(), tailSize, size - tailSize, end);
}

PayloadStreamBuf::PayloadStreamBuf(const PayloadView& payload) : m_payload(payload) {
  SelectSliceAt(0);
}

std::uint64_t PayloadStreamBuf::Position() const {
  return m_sliceStart + static_cast<std::uint64_t>(gptr() - eback());
}

// Shows the slice holding `position` (the end of the archive shows an empty area).
bool PayloadStreamBuf::SelectSliceAt(std::uint64_t position) {
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < m_payload.count; ++i) {
    const auto length = static_cast<std::uint64_t>(m_payload.slices[i].length);
    if (position < start + length) {
      char* base = reinterpret_cast<char*>(const_cast<unsigned char*>(m_payload.slices[i].bytes));
      setg(base, base + (position - start), base + length);
      m_slice = i;
      m_sliceStart = start;
      return true;
    }
    start += length;
  }
  if (position != start) return false;
  setg(nullptr, nullptr, nullptr);
  m_slice = m_payload.count;
  m_sliceStart = start;
  return true;
}

PayloadStreamBuf::int_type PayloadStreamBuf::underflow() {
  if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
  // Move on to the next non-empty slice.
  const std::uint64_t next = m_sliceStart + static_cast<std::uint64_t>(egptr() - eback());
  if (!SelectSliceAt(next) || gptr() == egptr()) return traits_type::eof();
  return traits_type::to_int_type(*gptr());
}

std::streamsize PayloadStreamBuf::xsgetn(char_type* out, std::streamsize count) {
  std::streamsize copied = 0;
  while (copied < count) {
    if (gptr() == egptr() && traits_type::eq_int_type(underflow(), traits_type::eof())) break;
    const std::streamsize chunk = std::min<std::streamsize>(count - copied, egptr() - gptr());
    std::memcpy(out + copied, gptr(), static_cast<std::size_t>(chunk));
    gbump(static_cast<int>(chunk));
    copied += chunk;
  }
  return copied;
}

PayloadStreamBuf::pos_type PayloadStreamBuf::seekoff(off_type offset, std::ios_base::seekdir dir,
                                                     std::ios_base::openmode which) {
  if ((which & std::ios_base::in) == 0) return pos_type(off_type(-1));
  off_type base = 0;
  if (dir == std::ios_base::cur) base = static_cast<off_type>(Position());
  if (dir == std::ios_base::end) base = static_cast<off_type>(m_payload.Size());
  const off_type target = base + offset;
  if (target < 0 || static_cast<std::uint64_t>(target) > m_payload.Size()) {
    return pos_type(off_type(-1));
  }
  SelectSliceAt(static_cast<std::uint64_t>(target));
  return pos_type(target);
}

PayloadStreamBuf::pos_type PayloadStreamBuf::seekpos(pos_type position,
                                                     std::ios_base::openmode which) {
  return seekoff(off_type(position), std::ios_base::beg, which);
}

}  // namespace varnesk
