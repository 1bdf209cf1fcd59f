#include "installer/EntryInflater.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <libdeflate.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "installer/WorkerPool.h"
#include "platform/MemoryPages.h"

namespace varnesk {
namespace {

constexpr std::uint16_t kStored = 0;
constexpr std::uint16_t kDeflated = 8;

// Writes all of `size` bytes; false on a write error.
bool WriteAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Whether the entry's compressed bytes lie wholly inside the payload.
bool InsidePayload(const PayloadView& payload, const EntryJob& job) {
  const std::uint64_t size = payload.Size();
  return job.dataOffset <= size && job.compressedSize <= size - job.dataOffset;
}

// Entries are read this much at a time where they are not inflated whole, and the
// payload pages read so far are dropped after each (when the payload is releasable):
// a large entry's pages do not stay mapped until its end.
constexpr std::uint64_t kReadStep = kPayloadReleaseBlock;

}  // namespace

EntryInflater::Buffer::~Buffer() { platform::FreePages(bytes, size); }

unsigned char* EntryInflater::Buffer::Reserve(std::size_t wanted) {
  wanted = std::max<std::size_t>(wanted, 1);
  if (size < wanted) {
    platform::FreePages(bytes, size);  // give the old one back before taking the larger one
    bytes = nullptr;
    size = wanted;
    bytes = static_cast<unsigned char*>(platform::AllocatePages(size));
    if (bytes == nullptr) {
      size = 0;
      throw std::bad_alloc();
    }
  }
  return bytes;
}

template <typename Visit>
void EntryInflater::ForEachPiece(std::uint64_t offset, std::uint64_t size, Visit visit) {
  const std::uint64_t end = std::min(offset + size, m_payload.Size());
  if (m_payload.FromFile()) {
    // The same steps as in place, so zlib sees the input in the same pieces and a
    // damaged entry keeps the same bytes written.
    for (std::uint64_t from = offset; from < end;) {
      const auto count = static_cast<std::size_t>(std::min(kReadStep, end - from));
      unsigned char* const bytes = m_read.Reserve(count);
      if (!ReadPayloadFile(m_payload, from, bytes, count) || !visit(bytes, count)) return;
      from += count;
    }
    return;
  }
  ForEachSlicePiece(m_payload, offset, end, [&](const unsigned char* bytes, std::size_t count) {
    for (std::size_t done = 0; done < count;) {
      const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(kReadStep, count - done));
      if (!visit(bytes + done, step)) return false;
      done += step;
    }
    return true;
  });
}

EntryInflater::EntryInflater(const PayloadView& payload, std::size_t wholeBufferLimit)
    : m_payload(payload),
      m_wholeBufferLimit(wholeBufferLimit),
      m_decompressor(libdeflate_alloc_decompressor()) {
  if (m_decompressor == nullptr) throw std::bad_alloc();
}

EntryInflater::~EntryInflater() { libdeflate_free_decompressor(m_decompressor); }

EntryResult EntryInflater::Inflate(const EntryJob& job) {
  EntryResult result;
  int fd = -1;
  try {
    if (job.method != kStored && job.method != kDeflated) {
      result.error = "Unsupported compression method in " + job.path;
      return result;
    }
    fd = ::openat(job.folderFd, job.path.c_str() + job.belowFolder,
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
      result.error = "Failed to create output stream " + job.path;
      return result;
    }
    Unpacked out;
    if (job.method == kStored) {
      WriteStored(job, fd, out);
    } else if (!InflateWhole(job, fd, out)) {
      InflateStreaming(job, fd, out);
    }
    const bool closed = ::close(fd) == 0;
    fd = -1;
    if (InPlaceFromFile(job)) {
      ReleasePayloadPagesAround(m_payload, job.dataOffset, job.dataOffset + job.compressedSize);
    } else {
      ReleasePayloadPages(m_payload, job.dataOffset, job.dataOffset + job.compressedSize);
    }
    if (out.error.empty() && !closed) out.error = "Exception: cannot write " + job.path;
    if (!out.error.empty()) {
      result.error = std::move(out.error);  // the file stays as far as it was written
      return result;
    }
    if (out.crc != job.crc32 || !out.complete) {
      result.error = "CRC mismatch. Corrupt file: " + job.path;
    } else if (out.produced != job.uncompressedSize) {
      result.error = "Filesizes do not match. Corrupt file: " + job.path;
    } else {
      return result;
    }
    result.removed = ::unlink(job.path.c_str()) == 0;
  } catch (const std::exception& e) {
    // Like the extractor's handling of an exception while writing: the file stays.
    if (fd >= 0) ::close(fd);
    result.error = std::string("Exception: ") + e.what();
  }
  return result;
}

void EntryInflater::WriteStored(const EntryJob& job, int fd, Unpacked& out) {
  ForEachPiece(job.dataOffset, job.compressedSize,
               [&](const unsigned char* bytes, std::size_t count) {
                 out.crc = libdeflate_crc32(out.crc, bytes, count);
                 out.produced += count;
                 if (!WriteAll(fd, bytes, count)) {
                   out.error = "Exception: cannot write " + job.path;
                   return false;
                 }
                 ReleasePayloadPages(m_payload, job.dataOffset, job.dataOffset + out.produced);
                 return true;
               });
  if (out.error.empty() && !InsidePayload(m_payload, job)) {
    out.error = "Exception: unexpected end of the archive in " + job.path;
  }
}

bool EntryInflater::InPlaceFromFile(const EntryJob& job) const {
  return m_payload.FromFile() && m_payload.releasable && job.compressedSize >= kInPlaceFrom;
}

const unsigned char* EntryInflater::ContiguousData(const EntryJob& job, unsigned char* copy) {
  if (m_payload.FromFile() && !InPlaceFromFile(job)) {
    return ReadPayloadFile(m_payload, job.dataOffset, copy, static_cast<std::size_t>(job.compressedSize))
               ? copy
               : nullptr;
  }
  const std::uint64_t end = job.dataOffset + job.compressedSize;
  const unsigned char* inPlace = nullptr;
  ForEachSlicePiece(m_payload, job.dataOffset, end, [&](const unsigned char* bytes, std::size_t count) {
    if (count == job.compressedSize) inPlace = bytes;
    return false;
  });
  if (inPlace != nullptr || job.compressedSize == 0) return inPlace;
  unsigned char* next = copy;
  ForEachSlicePiece(m_payload, job.dataOffset, end, [&](const unsigned char* bytes, std::size_t count) {
    std::memcpy(next, bytes, count);
    next += count;
    return true;
  });
  return copy;
}

bool EntryInflater::InflateWhole(const EntryJob& job, int fd, Unpacked& out) {
  // Both sizes are bounded: a header may state any compressed size.
  if (job.uncompressedSize > m_wholeBufferLimit || job.compressedSize > m_wholeBufferLimit ||
      job.compressedSize == 0 || !InsidePayload(m_payload, job)) {
    return false;
  }
  const auto size = static_cast<std::size_t>(job.uncompressedSize);
  // One buffer: the entry's bytes, then its compressed bytes where they must be copied.
  // Never less than one large page: filling a smaller buffer faults once per 4 KiB, and
  // on some virtual machines a fault costs about 10 us while a 2 MiB page is zeroed in
  // about 0.15 ms, so one large page is cheaper from some 60 KiB on.
  constexpr std::size_t kAlign = 64;
  const std::size_t copyAt = (size + kAlign - 1) / kAlign * kAlign;
  const unsigned char* in = nullptr;
  unsigned char* whole = nullptr;
  try {
    whole = m_whole.Reserve(std::max(copyAt + static_cast<std::size_t>(job.compressedSize),
                                     platform::LargePageSize()));
    in = ContiguousData(job, whole + copyAt);
  } catch (const std::bad_alloc&) {
    return false;  // the streaming path needs no large buffer
  }
  if (in == nullptr) return false;  // the file would not give it: streamed, and reported
  // Pages of the file cache, mapped in with one call instead of a fault every few pages.
  if (in != whole + copyAt && InPlaceFromFile(job)) {
    platform::MapInPages(in, static_cast<std::size_t>(job.compressedSize));
  }
  std::size_t produced = 0;
  if (libdeflate_deflate_decompress(m_decompressor, in, static_cast<std::size_t>(job.compressedSize),
                                    whole, size, &produced) != LIBDEFLATE_SUCCESS) {
    return false;  // corrupt or longer than stated: streamed again, as the extractor does
  }
  out.crc = libdeflate_crc32(0, whole, produced);
  out.produced = produced;
  if (!WriteAll(fd, whole, produced)) out.error = "Exception: cannot write " + job.path;
  return true;
}

void EntryInflater::InflateStreaming(const EntryJob& job, int fd, Unpacked& out) {
  z_stream zs{};
  if (inflateInit2(&zs, -MAX_WBITS) != Z_OK) {
    out.error = "Exception: zlib could not start";
    return;
  }
  unsigned char* const buffer = m_stream.Reserve(kStreamBufferSize);
  bool ended = false;
  std::uint64_t taken = 0;
  ForEachPiece(job.dataOffset, job.compressedSize,
               [&](const unsigned char* bytes, std::size_t count) {
                 zs.next_in = const_cast<unsigned char*>(bytes);
                 zs.avail_in = static_cast<uInt>(count);
                 while (!ended) {
                   zs.next_out = buffer;
                   zs.avail_out = static_cast<uInt>(kStreamBufferSize);
                   const int rc = inflate(&zs, Z_NO_FLUSH);
                   if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                     out.error = "Exception: corrupt deflate data in " + job.path;
                     return false;
                   }
                   const std::size_t made = kStreamBufferSize - zs.avail_out;
                   out.crc = libdeflate_crc32(out.crc, buffer, made);
                   out.produced += made;
                   if (!WriteAll(fd, buffer, made)) {
                     out.error = "Exception: cannot write " + job.path;
                     return false;
                   }
                   ended = rc == Z_STREAM_END;
                   // A full buffer may leave output pending even when all input is taken.
                   if (zs.avail_out != 0 && (zs.avail_in == 0 || made == 0)) break;
                 }
                 taken += count;
                 ReleasePayloadPages(m_payload, job.dataOffset, job.dataOffset + taken);
                 return !ended;
               });
  inflateEnd(&zs);
  out.complete = ended;
  if (out.error.empty() && !InsidePayload(m_payload, job)) {
    out.error = "Exception: unexpected end of the archive in " + job.path;
  }
}

std::vector<std::unique_ptr<EntryInflater>> MakeInflaters(const PayloadView& payload,
                                                          std::size_t threads,
                                                          std::size_t wholeBufferLimit) {
  std::vector<std::unique_ptr<EntryInflater>> inflaters;
  while (inflaters.size() < std::max<std::size_t>(1, threads)) {
    try {
      inflaters.push_back(std::make_unique<EntryInflater>(payload, wholeBufferLimit));
    } catch (const std::bad_alloc&) {
      if (inflaters.empty()) throw;
      break;  // fewer threads, same work
    }
  }
  return inflaters;
}

std::vector<EntryResult> InflateEntries(const PayloadView& payload,
                                        const std::vector<EntryJob>& jobs, unsigned threads,
                                        std::size_t wholeBufferLimit) {
  std::vector<EntryResult> results(jobs.size());
  const std::vector<std::unique_ptr<EntryInflater>> inflaters =
      MakeInflaters(payload, std::min<std::size_t>(threads, jobs.size()), wholeBufferLimit);
  std::vector<std::uint64_t> weights;
  weights.reserve(jobs.size());
  for (const EntryJob& job : jobs) weights.push_back(job.Weight());
  RunHeaviestFirst(weights, static_cast<unsigned>(inflaters.size()),
                   [&](unsigned worker, std::size_t item) {
                     results[item] = inflaters[worker]->Inflate(jobs[item]);
                   });
  return results;
}

}  // namespace varnesk
