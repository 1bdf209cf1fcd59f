#pragma once
// Unpacking one accepted archive entry into a new file, and many of them on worker
// threads.
//
// An entry's compressed bytes are read in place from a payload in memory (only an entry
// that straddles two slices and is inflated whole is copied, behind its output), or
// from the payload's file; large entries of a releasable payload read from its file
// are read in place all the same and their pages dropped once they are unpacked.
// Entries of up to `wholeBufferLimit` bytes are inflated by libdeflate in one call into
// a buffer and written with one write; larger ones stream through zlib in fixed
// buffers, so memory never grows with the largest entry. Entries whose data turns out
// to be damaged are inflated again by the streaming path, which reproduces the
// extractor's handling of them byte for byte (what is written before a deflate error
// stays written).
//
// Outcome of one entry, with the extractor's texts ("PATH" is the destination):
//   the file cannot be created          "Failed to create output stream PATH"
//   zlib cannot start                   "Exception: zlib could not start"
//   the data runs past the payload      "Exception: unexpected end of the archive in PATH"
//   the deflate data is corrupt         "Exception: corrupt deflate data in PATH"
//   a write or the close fails          "Exception: cannot write PATH"
//     (in these three cases the file stays as far as it was written)
//   the CRC-32 differs, or the deflate data ends early
//                                       "CRC mismatch. Corrupt file: PATH"
//   the size differs                    "Filesizes do not match. Corrupt file: PATH"
//     (in these two cases the file is deleted again)
#include <fcntl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "installer/Payload.h"

struct libdeflate_decompressor;

namespace varnesk {

/// One accepted entry: where its compressed bytes lie in the payload and what they
/// must unpack to.
struct EntryJob {
  std::uint64_t dataOffset = 0;        ///< archive offset of the first compressed byte
  std::uint64_t compressedSize = 0;
  std::uint64_t uncompressedSize = 0;
  std::uint32_t crc32 = 0;             ///< expected CRC-32 of the unpacked bytes
  std::uint16_t method = 0;            ///< 0 stored or 8 deflated
  std::string path;                    ///< the file to create; its folder exists
  /// Where `path` may be opened from: a descriptor of one of its folders and the
  /// offset in `path` of the rest below it (a shorter lookup than the whole path).
  int folderFd = AT_FDCWD;             ///< `path` as it stands
  std::size_t belowFolder = 0;

  /// How much work the entry is, for ordering the work: the larger of its sizes.
  std::uint64_t Weight() const { return std::max(uncompressedSize, compressedSize); }
};

struct EntryResult {
  std::string error;     ///< empty when the file was written and checked
  bool removed = false;  ///< the file was deleted again (CRC or size mismatch)

  bool Ok() const { return error.empty(); }
};

class EntryInflater {
 public:
  /// Entries up to this many unpacked bytes are inflated whole: libdeflate in one call
  /// runs about 2.4 times as fast as zlib in 256 KiB steps. The buffers come in 2 MiB
  /// pages, so a large one costs a few page faults, not thousands; the limit bounds
  /// what they may grow to (a whole entry and its compressed bytes, per thread), and
  /// covers the largest libraries a client bundle carries.
  static constexpr std::size_t kWholeBufferLimit = 16 * 1024 * 1024;
  /// Size of the streaming path's output buffer.
  static constexpr std::size_t kStreamBufferSize = 256 * 1024;
  /// Entries inflated whole with at least this many compressed bytes are read in place
  /// from a releasable payload even where it is read from its file: a copy of them
  /// would be read once, but its memory is fresh, and on virtual machines that hand
  /// freed memory back to their host the first touch of fresh memory costs more than
  /// mapping in pages of the file cache. Smaller entries are copied into memory that
  /// is reused, which costs less than a page fault and a release each.
  static constexpr std::uint64_t kInPlaceFrom = 256 * 1024;

  /// Reads entries from `payload`, which must outlive the inflater. Throws
  /// std::bad_alloc when libdeflate cannot be set up.
  explicit EntryInflater(const PayloadView& payload,
                         std::size_t wholeBufferLimit = kWholeBufferLimit);
  ~EntryInflater();
  EntryInflater(const EntryInflater&) = delete;
  EntryInflater& operator=(const EntryInflater&) = delete;

  /// Creates `job.path` (it must not exist; O_EXCL, never through a link; mode 0666
  /// less the file-creation mask), unpacks the entry into it and checks it. Drops the
  /// entry's payload pages afterwards when the payload is releasable. Never throws.
  EntryResult Inflate(const EntryJob& job);

 private:
  // What one way of unpacking wrote into the file.
  struct Unpacked {
    std::string error;           // a failure that keeps the file as far as written
    std::uint32_t crc = 0;       // of the bytes written
    std::uint64_t produced = 0;  // bytes written
    bool complete = true;        // the deflate data reached its end
  };

  void WriteStored(const EntryJob& job, int fd, Unpacked& out);
  // Inflates in one call; false (nothing written) when the entry is too large for it or
  // its data is not a clean deflate stream of at most the stated size.
  bool InflateWhole(const EntryJob& job, int fd, Unpacked& out);
  void InflateStreaming(const EntryJob& job, int fd, Unpacked& out);
  // The entry's compressed bytes in one piece: in place, or copied to `copy` when they
  // straddle two slices or are read from the payload's file (null when that read
  // fails). The bytes must lie inside the payload.
  const unsigned char* ContiguousData(const EntryJob& job, unsigned char* copy);
  // Whether an entry inflated whole is read in place from the slices of a payload that
  // is otherwise read from its file; its pages are then dropped after it.
  bool InPlaceFromFile(const EntryJob& job) const;
  // Calls `visit(bytes, count)` for the archive bytes [offset, offset + size), a read
  // step at most at a time, in order, until it returns false; bytes past the payload
  // (or that its file will not give) are not visited.
  template <typename Visit>
  void ForEachPiece(std::uint64_t offset, std::uint64_t size, Visit visit);

  // A buffer that only grows, without zeroing what it gets; in large pages where the
  // system has them (its pages are written once each, and each small one would fault).
  struct Buffer {
    unsigned char* bytes = nullptr;
    std::size_t size = 0;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();
    // Throws std::bad_alloc when there is no memory.
    unsigned char* Reserve(std::size_t wanted);
  };

  PayloadView m_payload;
  std::size_t m_wholeBufferLimit;
  libdeflate_decompressor* m_decompressor;
  // Grows to the largest entry inflated whole, followed by its compressed bytes where
  // they are copied (read from the payload's file, or straddling two slices).
  Buffer m_whole;
  Buffer m_stream;   // the streaming path's output
  Buffer m_read;     // compressed bytes read from the payload's file
};

/// Number of threads the extraction unpacks on.
constexpr unsigned kExtractionThreads = 2;

/// One inflater for each of up to `threads` threads (at least one): fewer where memory
/// runs out for more, the same work then falling to fewer threads. Throws
/// std::bad_alloc when not even one can be set up.
std::vector<std::unique_ptr<EntryInflater>> MakeInflaters(
    const PayloadView& payload, std::size_t threads,
    std::size_t wholeBufferLimit = EntryInflater::kWholeBufferLimit);

/// Unpacks every job on `threads` threads (the caller's among them), the largest
/// entries first, each thread with its own inflater. Result i belongs to job i; the
/// caller reports failures, in job order, after this returns. Throws only when not even
/// one inflater can be set up.
std::vector<EntryResult> InflateEntries(const PayloadView& payload,
                                        const std::vector<EntryJob>& jobs,
                                        unsigned threads = kExtractionThreads,
                                        std::size_t wholeBufferLimit =
                                            EntryInflater::kWholeBufferLimit);

}  // namespace varnesk
