#include "installer/Payload.h"

#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "installer/ZipLayout.h"
#include "platform/MemoryPages.h"

namespace varnesk {
namespace {

std::uintptr_t Address(const unsigned char* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uintptr_t ReleaseBlock() {
  return std::max<std::uintptr_t>(kPayloadReleaseBlock, platform::PageSize());
}

// Drops the release blocks wholly inside [begin, end).
void DropWholeBlocks(std::uintptr_t begin, std::uintptr_t end) {
  const std::uintptr_t block = ReleaseBlock();
  const std::uintptr_t first = (begin + block - 1) / block * block;
  const std::uintptr_t last = end / block * block;
  if (first < last) platform::DropPages(reinterpret_cast<void*>(first), last - first);
}

// The file of a payload read from its file is read this much at a time where the
// bytes are only looked at once (checked, hashed).
constexpr std::size_t kFileReadStep = 64 * 1024;

// CRC-32 of the archive bytes [from, to), each slice's pages mapped in first; a
// payload read from its file is read in steps. Zero, with `ok` false, when the file
// cannot be read.
std::uint32_t CrcOfRange(const PayloadView& payload, std::uint64_t from, std::uint64_t to, bool& ok) {
  std::uint32_t crc = 0;
  if (payload.FromFile()) {
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(kFileReadStep, to - from)));
    for (std::uint64_t pos = from; pos < to;) {
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), to - pos));
      if (!ReadPayloadFile(payload, pos, buffer.data(), count)) {
        ok = false;
        return 0;
      }
      crc = libdeflate_crc32(crc, buffer.data(), count);
      pos += count;
    }
    return crc;
  }
  ForEachSlicePiece(payload, from, to, [&](const unsigned char* bytes, std::size_t count) {
    platform::MapInPages(bytes, count);
    crc = libdeflate_crc32(crc, bytes, count);
    return true;
  });
  return crc;
}

// Payloads below this are checked on the calling thread alone.
constexpr std::uint64_t kSplitCheckAbove = 1024 * 1024;

// CRC-32 of the whole payload. Most of a first check's time goes to mapping the pages
// in, not to the CRC itself, so the second half is read on a second thread and the two
// CRCs are joined.
std::uint32_t CrcOfPayload(const PayloadView& payload, bool& ok) {
  const std::uint64_t size = payload.Size();
  if (size < kSplitCheckAbove) return CrcOfRange(payload, 0, size, ok);
  const std::uint64_t half = size / 2;
  std::uint32_t second = 0;
  bool secondOk = true;
  std::thread helper;
  try {
    helper = std::thread([&] { second = CrcOfRange(payload, half, size, secondOk); });
  } catch (const std::system_error&) {
    return CrcOfRange(payload, 0, size, ok);  // no second thread: the same result, later
  }
  const std::uint32_t first = CrcOfRange(payload, 0, half, ok);
  helper.join();
  ok = ok && secondOk;
  return static_cast<std::uint32_t>(
      crc32_combine(first, second, static_cast<z_off_t>(size - half)));
}

}  // namespace

std::uint64_t PayloadView::Size() const {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) total += static_cast<std::uint64_t>(slices[i].length);
  return total;
}

void ReleasePayloadPages(const PayloadView& payload, std::uint64_t begin, std::uint64_t end) {
  if (!payload.releasable) return;
  ForEachSlicePiece(payload, begin, end, [](const unsigned char* bytes, std::size_t count) {
    DropWholeBlocks(Address(bytes), Address(bytes + count));
    return true;
  });
}

void ReleasePayloadPagesAround(const PayloadView& payload, std::uint64_t begin, std::uint64_t end) {
  if (!payload.releasable) return;
  const std::uintptr_t block = ReleaseBlock();
  const std::uintptr_t page = platform::PageSize();
  std::uint64_t sliceStart = 0;
  for (std::size_t i = 0; i < payload.count && sliceStart < end; ++i) {
    const PayloadSlice& slice = payload.slices[i];
    const std::uint64_t a = std::max(begin, sliceStart);
    const std::uint64_t b = std::min(end, sliceStart + static_cast<std::uint64_t>(slice.length));
    if (a < b) {
      // Whole blocks around the bytes, cut back to the pages the slice itself lies in.
      const std::uintptr_t lowest = Address(slice.bytes) / page * page;
      const std::uintptr_t highest = (Address(slice.bytes + slice.length) + page - 1) / page * page;
      const std::uintptr_t from = std::max(Address(slice.bytes + (a - sliceStart)) / block * block, lowest);
      const std::uintptr_t to =
          std::min((Address(slice.bytes + (b - sliceStart)) + block - 1) / block * block, highest);
      if (from < to) platform::DropPages(reinterpret_cast<void*>(from), to - from);
    }
    sliceStart += static_cast<std::uint64_t>(slice.length);
  }
}

bool IsIntactPayload(const PayloadView& payload, std::uint64_t size, std::uint32_t crc) {
  if (payload.Size() != size || size == 0) return false;
  std::uint32_t actual = 0;
  const std::uintptr_t block = ReleaseBlock();
  std::uintptr_t undropped = 0;  // where the bytes read but not yet dropped begin
  std::uintptr_t previousEnd = 0;
  for (std::size_t i = 0; i < payload.count; ++i) {
    const unsigned char* bytes = payload.slices[i].bytes;
    const unsigned char* const end = bytes + payload.slices[i].length;
    if (!payload.releasable || payload.FromFile()) {
      bool ok = true;
      actual = CrcOfPayload(payload, ok);
      if (!ok) return false;
      break;
    }
    // Read block by block, dropping each block once read; a block that a slice shares
    // with the next (the embedded slices follow each other in memory) goes with the next.
    if (Address(bytes) != previousEnd) undropped = Address(bytes);
    while (bytes < end) {
      const std::uintptr_t next = (Address(bytes) / block + 1) * block;
      const unsigned char* const stop = bytes + std::min<std::uintptr_t>(next - Address(bytes), end - bytes);
      actual = libdeflate_crc32(actual, bytes, static_cast<std::size_t>(stop - bytes));
      DropWholeBlocks(undropped, Address(stop));
      undropped = std::max(undropped, Address(stop) / block * block);
      bytes = stop;
    }
    previousEnd = Address(end);
  }
  if (actual != crc) return false;

  zip::EndRecord end;
  return FindPayloadEndRecord(payload, end) && end.totalEntries > 0 &&
         std::uint64_t{end.centralDirectoryOffset} + end.centralDirectorySize == end.offset;
}

namespace {

// Reads the `count` bytes at archive offset `pos`; false when they run past the end.
bool ReadAt(PayloadStream& stream, std::uint64_t pos, unsigned char* out, std::size_t count) {
  stream.clear();
  stream.seekg(static_cast<std::streamoff>(pos));
  stream.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(count));
  return static_cast<std::size_t>(stream.gcount()) == count;
}

// Whether the ZIP64 end record's signature stands anywhere from `pos` on: where the
// record walk loses track, the extractor searches forward for the next signature.
bool SignatureFrom(PayloadStream& stream, std::uint64_t pos) {
  const unsigned char sig[] = {0x50, 0x4b, 0x06, 0x06};
  std::vector<unsigned char> chunk(64 * 1024 + 3);
  for (;;) {
    stream.clear();
    stream.seekg(static_cast<std::streamoff>(pos));
    stream.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    const auto got = static_cast<std::size_t>(stream.gcount());
    if (std::search(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got),
                    std::begin(sig), std::end(sig)) != chunk.begin() + static_cast<std::ptrdiff_t>(got)) {
      return true;
    }
    if (got < chunk.size()) return false;
    pos += chunk.size() - 3;  // a signature may straddle two chunks
  }
}

// Where the extractor goes after the local header at `pos`, when that is certain: past
// the header and, for a file, its data (a folder entry has no data to skip). Returns 0
// for anything unusual (sizes after the data, encryption, another method, a name the
// extractor refuses or hands on), after which it may search forward for a signature.
std::uint64_t NextAfterLocalHeader(PayloadStream& stream, std::uint64_t pos) {
  unsigned char h[30];
  if (!ReadAt(stream, pos, h, 30)) return 0;
  const std::uint32_t flags = zip::Le16(h + 6);
  const std::uint32_t method = zip::Le16(h + 8);
  const std::uint64_t compressed = zip::Le32(h + 18);
  const std::uint64_t uncompressed = zip::Le32(h + 22);
  const std::uint32_t nameLength = zip::Le16(h + 26);
  std::string name(nameLength, '\0');
  if ((flags & 0x0009) != 0 || (method != 0 && method != 8) || nameLength == 0 ||
      compressed == 0xFFFFFFFFu || uncompressed == 0xFFFFFFFFu ||  // sizes in a ZIP64 field
      !ReadAt(stream, pos + 30, reinterpret_cast<unsigned char*>(&name[0]), nameLength) ||
      name[0] == '/' || name.find('\\') != std::string::npos || name.find("..") != std::string::npos) {
    return 0;
  }
  const bool folder = name.back() == '/' && uncompressed == 0 && method == 0;
  if (folder && compressed != 0) return 0;
  return pos + 30 + nameLength + zip::Le16(h + 28) + (folder ? 0 : compressed);
}

}  // namespace

bool MayHoldZip64EndRecord(const PayloadView& payload) {
  PayloadStream stream(payload);
  unsigned char h[46];
  for (std::uint64_t pos = 0;;) {
    if (!ReadAt(stream, pos, h, 4)) return false;  // the end of the archive
    const std::uint32_t signature = zip::Le32(h);
    if (signature == zip::kZip64EndRecordSignature) return true;
    if (signature == zip::kLocalHeaderSignature) {
      const std::uint64_t next = NextAfterLocalHeader(stream, pos);
      if (next == 0) return SignatureFrom(stream, pos + 4);
      pos = next;
    } else if (signature == zip::kCentralHeaderSignature && ReadAt(stream, pos, h, 46)) {
      pos += 46 + zip::Le16(h + 28) + zip::Le16(h + 30) + zip::Le16(h + 32);
    } else if (signature == zip::kEndRecordSignature && ReadAt(stream, pos, h, 22)) {
      pos += 22 + zip::Le16(h + 20);
    } else {
      return SignatureFrom(stream, pos);
    }
  }
}

bool ReadPayloadFile(const PayloadView& payload, std::uint64_t pos, unsigned char* out,
                     std::size_t count) {
  while (count > 0) {
    const ssize_t got = ::pread(payload.fd, out, count, static_cast<off_t>(payload.fileOffset + pos));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    pos += static_cast<std::uint64_t>(got);
    count -= static_cast<std::size_t>(got);
  }
  return true;
}

bool CopyFromPayload(const PayloadView& payload, std::uint64_t pos, unsigned char* out,
                     std::size_t count) {
  if (payload.FromFile()) {
    const std::uint64_t size = payload.Size();
    if (pos > size || count > size - pos) return false;
    return ReadPayloadFile(payload, pos, out, count);
  }
  std::size_t copied = 0;
  ForEachSlicePiece(payload, pos, pos + count, [&](const unsigned char* bytes, std::size_t n) {
    std::memcpy(out + copied, bytes, n);
    copied += n;
    return true;
  });
  return copied == count;
}

bool ReadPayloadCentralDirectory(const PayloadView& payload,
                                 std::vector<zip::CentralEntry>& entries) {
  entries.clear();
  zip::EndRecord end;
  if (!FindPayloadEndRecord(payload, end) || end.centralDirectoryOffset > end.offset) return false;
  std::vector<unsigned char> directory(static_cast<std::size_t>(end.offset - end.centralDirectoryOffset));
  std::string error;
  return CopyFromPayload(payload, end.centralDirectoryOffset, directory.data(), directory.size()) &&
         zip::ReadCentralDirectory(directory.data(), directory.size(), end, entries, error);
}

bool InflateWhole(const std::string& packed, std::size_t size, std::string& out) {
  out.assign(size, '\0');
  libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
  if (inflater == nullptr) return false;
  // Exactly `size` bytes: a shorter or longer stream is refused.
  const libdeflate_result result =
      libdeflate_deflate_decompress(inflater, packed.data(), packed.size(), &out[0], size, nullptr);
  libdeflate_free_decompressor(inflater);
  return result == LIBDEFLATE_SUCCESS;
}

bool ReadPayloadEntryData(const PayloadView& payload, const zip::CentralEntry& entry,
                          std::size_t maxSize, std::string& data) {
  unsigned char header[30];
  if (entry.uncompressedSize > maxSize || entry.compressedSize > maxSize + 1024 ||
      !CopyFromPayload(payload, entry.localHeaderOffset, header, sizeof header) ||
      zip::Le32(header) != zip::kLocalHeaderSignature) {
    return false;
  }
  const std::uint64_t start = entry.localHeaderOffset + sizeof header + zip::Le16(header + 26) +
                              zip::Le16(header + 28);
  std::string packed(entry.compressedSize, '\0');
  if (!CopyFromPayload(payload, start, reinterpret_cast<unsigned char*>(&packed[0]), packed.size())) {
    return false;
  }
  if (entry.method == 0) {
    data = std::move(packed);
  } else if (entry.method == 8) {
    if (!InflateWhole(packed, entry.uncompressedSize, data)) return false;
  } else {
    return false;
  }
  return data.size() == entry.uncompressedSize &&
         libdeflate_crc32(0, data.data(), data.size()) == entry.crc32;
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

// A payload read from its file is read this much at a time through the stream: the
// extractor reads headers of a few dozen bytes and skips the data after them.
constexpr std::size_t kStreamFileBuffer = 4 * 1024;

PayloadStreamBuf::PayloadStreamBuf(const PayloadView& payload) : m_payload(payload) {
  if (m_payload.FromFile()) {
    m_fileBuffer.resize(kStreamFileBuffer);
    char* const base = m_fileBuffer.data();
    setg(base, base, base);
  }
  SelectSliceAt(0);
}

// Shows the file's bytes from `position` on, as much as the buffer holds; false at the
// end of the payload or when the file cannot be read (the get area is empty then).
bool PayloadStreamBuf::FillFileBufferAt(std::uint64_t position) {
  char* const base = m_fileBuffer.data();
  setg(base, base, base);
  m_sliceStart = position;
  const std::uint64_t size = m_payload.Size();
  if (position >= size) return false;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(m_fileBuffer.size(), size - position));
  if (!ReadPayloadFile(m_payload, position, reinterpret_cast<unsigned char*>(base), count)) return false;
  setg(base, base, base + count);
  return true;
}

std::uint64_t PayloadStreamBuf::Position() const {
  return m_sliceStart + static_cast<std::uint64_t>(gptr() - eback());
}

// Shows the slice holding `position` (the end of the archive shows an empty area). A
// payload read from its file keeps its buffer when `position` lies in it; otherwise the
// next read fills it from there.
bool PayloadStreamBuf::SelectSliceAt(std::uint64_t position) {
  if (m_payload.FromFile()) {
    if (position > m_payload.Size()) return false;
    const auto shown = static_cast<std::uint64_t>(egptr() - eback());
    if (position >= m_sliceStart && position <= m_sliceStart + shown) {
      setg(eback(), eback() + (position - m_sliceStart), egptr());
    } else {
      char* const base = m_fileBuffer.data();
      setg(base, base, base);
      m_sliceStart = position;
    }
    return true;
  }
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
  if (m_payload.FromFile()) {
    return FillFileBufferAt(next) ? traits_type::to_int_type(*gptr()) : traits_type::eof();
  }
  if (!SelectSliceAt(next) || gptr() == egptr()) return traits_type::eof();
  return traits_type::to_int_type(*gptr());
}

std::streamsize PayloadStreamBuf::xsgetn(char_type* out, std::streamsize count) {
  std::streamsize copied = 0;
  while (copied < count) {
    if (gptr() == egptr() && m_payload.FromFile() &&
        static_cast<std::size_t>(count - copied) >= m_fileBuffer.size()) {
      // A large read goes straight into the caller's memory.
      const std::uint64_t position = Position();
      const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(
          static_cast<std::uint64_t>(count - copied), m_payload.Size() - position));
      if (wanted == 0 ||
          !ReadPayloadFile(m_payload, position, reinterpret_cast<unsigned char*>(out + copied), wanted)) {
        break;
      }
      copied += static_cast<std::streamsize>(wanted);
      char* const base = m_fileBuffer.data();
      setg(base, base, base);
      m_sliceStart = position + wanted;
      continue;
    }
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
