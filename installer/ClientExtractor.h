#pragma once
// The extractor of the client archive: Poco's Decompress walks the local headers and
// decides, entry by entry, what is unpacked and what fails, as it always has; folders
// and links are made during that walk, while the data of accepted files is unpacked
// afterwards on worker threads, read in place from the payload (EntryInflater). Every
// failure is raised through EError on the calling thread, in entry order, once the
// workers are done. A guard keeps every write inside the target folder.
//
// Observable behaviour is Poco's: the same files and folders; each failed entry raised
// through EError (CRC or size mismatch, a file that cannot be created, an unsupported
// method, a name holding ".."); a file that fails its CRC or size check deleted again;
// a folder entry holding ".." or a repeated name thrown out of decompressAllFiles().
// In addition, an entry fails when its name is absolute or holds a backslash, when it
// lies outside the required top folder, or when its path below the target meets an
// existing symbolic link: nothing is ever written through a link or outside the target.
//
// Entries named as links (by the archive's central directory; local headers cannot say)
// become symbolic links with their stored target. A target that is absolute, or that
// climbs out of the top folder, fails the entry.
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <Poco/Zip/Decompress.h>
#include <Poco/Zip/ZipArchive.h>

#include "installer/EntryInflater.h"
#include "installer/Payload.h"
#include "installer/WorkerPool.h"

namespace varnesk {

class ClientExtractor : public Poco::Zip::Decompress {
 public:
  /// `in` reads `payload` (a PayloadStream over it); `root` is the existing, fresh
  /// folder that receives the entries. With a `topFolder` ("Name/"), every entry must
  /// lie inside it. `links` names the link entries.
  ClientExtractor(std::istream& in, const PayloadView& payload, const std::string& root,
                  std::string topFolder = std::string(), std::set<std::string> links = {});
  ~ClientExtractor() override;
  ClientExtractor(const ClientExtractor&) = delete;
  ClientExtractor& operator=(const ClientExtractor&) = delete;

  bool handleZipEntry(std::istream& zipStream, const Poco::Zip::ZipLocalFileHeader& hdr) override;

  /// decompressAllFiles(), the files unpacked on `threads` threads meanwhile (each as
  /// soon as the walk has accepted it and made its folder), then every failed entry
  /// raised through EError, in entry order.
  Poco::Zip::ZipArchive ExtractAll(unsigned threads = kExtractionThreads);

 private:
  // Creates `dir` (the root followed by relative components) and its missing parents,
  // refusing to pass through a link or a file.
  bool MakeDirectories(const std::string& dir);
  // Why `name` may not be written below the root ("" when it may).
  std::string UnsafeReason(const std::string& name);
  // Whether `path` (below the root) is a symbolic link.
  bool IsLink(const std::string& path) const;
  // `path` (the root followed by relative components) as the *at() calls take it with
  // m_rootFd: the part below the root, or all of it where the root could not be opened.
  const char* AtPath(const std::string& path) const { return path.c_str() + m_belowRoot; }
  // Queues an accepted file for the workers and skips its data.
  bool QueueFile(std::istream& in, const Poco::Zip::ZipLocalFileHeader& hdr, const std::string& path);
  bool ExtractLink(std::istream& in, const Poco::Zip::ZipLocalFileHeader& hdr);
  // Why the link `name` may not point to `target` ("" when it may).
  std::string UnsafeLinkReason(const std::string& name, const std::string& target) const;
  // Records a failure of the current entry; raised later, in entry order.
  void Fail(const Poco::Zip::ZipLocalFileHeader& hdr, const std::string& message);

  struct Failure {
    std::size_t entry;
    Poco::Zip::ZipLocalFileHeader hdr;
    std::string message;
  };

  std::string m_root;  // with a trailing "/"
  // The root, opened once: paths below it are looked up from here rather than from "/"
  // each time (AT_FDCWD, and whole paths, where it cannot be opened).
  int m_rootFd;
  std::size_t m_belowRoot = 0;  // length of the root's part of a path given to *at() calls
  std::string m_topFolder;
  std::set<std::string> m_links;
  std::string m_verifiedDir;  // last folder found free of links (most entries share it)
  // Folders below the root this extraction has made (true) or found to be real folders
  // (false): a folder cannot turn into a link while it stands, so they are not looked
  // at again. A folder made here holds only what this extraction puts there, so the
  // links in it are known without looking: those in m_madeLinks.
  std::unordered_map<std::string, bool> m_realFolders;
  std::unordered_set<std::string> m_madeLinks;
  PayloadView m_payload;
  std::size_t m_entry = 0;  // index of the entry being handled
  // An accepted file: the workers fill `result`, the walk only adds slots. A slot
  // stays where it is while more are added.
  struct Slot {
    EntryJob job;
    EntryResult result;
    std::size_t entry;  // index of its entry; the header is found in the archive afterwards
  };
  std::mutex m_slotsMutex;  // guards the deque itself, not the slots' contents
  std::deque<Slot> m_slots;
  FeedingPool* m_pool = nullptr;  // takes the files while ExtractAll runs
  std::vector<Failure> m_failures;
};

}  // namespace varnesk
