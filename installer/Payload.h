#pragma once
// The client archive as the program carries it: consecutive slices that join, in
// order, to one ZIP file.
#include <cstddef>
#include <cstdint>
#include <istream>
#include <streambuf>
#include <string>
#include <vector>

namespace varnesk {

struct PayloadSlice {
  const unsigned char* bytes;
  std::int32_t length;
};

struct PayloadView {
  const PayloadSlice* slices;
  std::size_t count;
  /// The slices lie in read-only pages of the program file (the embedded payload):
  /// pages already read may be dropped and come back from the file when read again.
  /// Never set for bytes on the heap, which would come back zeroed. A payload read
  /// from its file that is also releasable has its large entries read in place (see
  /// EntryInflater), their pages dropped again once unpacked.
  bool releasable = false;
  /// When not -1: an open file that holds the same bytes as the slices, joined, from
  /// `fileOffset` on (the program's own file, for the embedded payload). Readers then
  /// read the file instead of the slices: the slices' pages are never mapped in, which
  /// costs far more per byte than reading the file cache. The slices still give the
  /// sizes.
  int fd = -1;
  std::uint64_t fileOffset = 0;

  std::uint64_t Size() const;
  bool FromFile() const { return fd >= 0; }
};

/// Calls `visit(bytes, count)` for the part of the archive bytes [from, to) that lies in
/// each slice, in order, until it returns false. Bytes past the payload are not visited.
template <typename Visit>
void ForEachSlicePiece(const PayloadView& payload, std::uint64_t from, std::uint64_t to, Visit visit) {
  std::uint64_t start = 0;
  for (std::size_t i = 0; i < payload.count && start < to; ++i) {
    const auto length = static_cast<std::uint64_t>(payload.slices[i].length);
    const std::uint64_t a = from > start ? from : start;
    const std::uint64_t b = to < start + length ? to : start + length;
    if (a < b && !visit(payload.slices[i].bytes + (a - start), static_cast<std::size_t>(b - a))) return;
    start += length;
  }
}

/// Reads `count` bytes at archive offset `pos` of a payload read from its file; false
/// when the file ends or cannot be read.
bool ReadPayloadFile(const PayloadView& payload, std::uint64_t pos, unsigned char* out,
                     std::size_t count);

namespace zip {
struct EndRecord;
struct CentralEntry;
}  // namespace zip

/// Copies `count` bytes from archive offset `pos` into `out`; false when they run past
/// the end of the payload.
bool CopyFromPayload(const PayloadView& payload, std::uint64_t pos, unsigned char* out,
                     std::size_t count);

/// Reads the central directory of the payload's archive (the extraction reads the
/// local headers; this is the archive's own list of what it holds). False when the
/// end record or the directory is missing or damaged.
bool ReadPayloadCentralDirectory(const PayloadView& payload, std::vector<zip::CentralEntry>& entries);

/// Inflates raw deflate data that unpacks to exactly `size` bytes, in one call (small
/// entries only); false when the data is damaged or of another length.
bool InflateWhole(const std::string& packed, std::size_t size, std::string& out);

/// The unpacked data of a small entry (stored or deflated), found through its local
/// header; false when it cannot be read, is larger than `maxSize`, or fails its CRC.
bool ReadPayloadEntryData(const PayloadView& payload, const zip::CentralEntry& entry,
                          std::size_t maxSize, std::string& data);

/// Finds the archive's end-of-central-directory record in the payload's last bytes.
bool FindPayloadEndRecord(const PayloadView& payload, zip::EndRecord& end);

/// True when reading the archive front to back, record by record as the extractor
/// does, could meet a ZIP64 end record (whose size field the extractor would allocate
/// blindly). The archives this installer carries never hold ZIP64 records.
bool MayHoldZip64EndRecord(const PayloadView& payload);

/// True when the payload is the archive the build recorded: `size` bytes with CRC-32
/// `crc`, ending in an end-of-central-directory record whose central directory lies
/// right before it. Checked before anything is killed or deleted. A releasable
/// payload's pages are dropped block by block as they are checked, so the check leaves
/// next to nothing mapped.
bool IsIntactPayload(const PayloadView& payload, std::uint64_t size, std::uint32_t crc);

/// Pages of a releasable payload are dropped in whole blocks of this size, aligned to
/// it (or of the page size, if larger): Linux maps the payload with 2 MiB pages where it
/// can, and dropping part of one splits it into small pages that each fault again.
constexpr std::size_t kPayloadReleaseBlock = 2 * 1024 * 1024;

/// Drops the release blocks that lie wholly inside the archive bytes [begin, end) of a
/// releasable payload (a block shared with bytes outside stays); does nothing for a
/// payload that is not releasable or where the system cannot drop pages.
void ReleasePayloadPages(const PayloadView& payload, std::uint64_t begin, std::uint64_t end);

/// Drops the pages of a releasable payload in every release block that the archive
/// bytes [begin, end) touch, the bytes around them in those blocks included: the system
/// may have mapped in more than was read. Pages another reader still uses come back
/// from the file when it reads them. Only pages of the slices themselves are dropped;
/// does nothing for a payload that is not releasable.
void ReleasePayloadPagesAround(const PayloadView& payload, std::uint64_t begin, std::uint64_t end);

/// Reads the slices of a payload in place, as one seekable byte stream, without
/// copying them; a payload read from its file is read through a small buffer.
class PayloadStreamBuf : public std::streambuf {
 public:
  explicit PayloadStreamBuf(const PayloadView& payload);

 protected:
  int_type underflow() override;
  std::streamsize xsgetn(char_type* out, std::streamsize count) override;
  pos_type seekoff(off_type offset, std::ios_base::seekdir dir,
                   std::ios_base::openmode which) override;
  pos_type seekpos(pos_type position, std::ios_base::openmode which) override;

 private:
  std::uint64_t Position() const;
  bool SelectSliceAt(std::uint64_t position);

  bool FillFileBufferAt(std::uint64_t position);

  PayloadView m_payload;
  std::size_t m_slice = 0;          // slice the get area shows
  std::uint64_t m_sliceStart = 0;   // archive offset of the get area's first byte
  std::vector<char> m_fileBuffer;   // the get area of a payload read from its file
};

class PayloadStream : public std::istream {
 public:
  explicit PayloadStream(const PayloadView& payload) : std::istream(nullptr), m_buf(payload) {
    rdbuf(&m_buf);
  }

 private:
  PayloadStreamBuf m_buf;
};

}  // namespace varnesk
