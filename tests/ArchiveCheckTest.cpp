// The build's archive check against archives whose local headers and central directory
// disagree, or that hide bytes between their records: the installer reads the local
// headers, so such an archive could unpack something the directory never names.
#include <functional>

#include "ArchiveFixtures.h"
#include "TestSupport.h"
#include "installer/ZipLayout.h"

namespace {

using orvtest::fs::path;
namespace zip = varnesk::zip;

void Put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<unsigned char>(v >> (8 * i));
}

zip::EndRecord EndOf(const std::vector<unsigned char>& b) {
  zip::EndRecord end;
  EXPECT_TRUE(zip::FindEndRecord(b.data(), b.size(), 0, end));
  return end;
}

// Inserts `count` bytes at `at`, moving every offset the records hold past it.
void InsertBytes(std::vector<unsigned char>& b, std::size_t at, std::size_t count) {
  const zip::EndRecord end = EndOf(b);
  std::size_t pos = end.centralDirectoryOffset;
  for (unsigned i = 0; i < end.totalEntries; ++i) {
    const std::uint32_t local = zip::Le32(&b[pos + 42]);
    if (local >= at) Put32(b, pos + 42, local + static_cast<std::uint32_t>(count));
    pos += 46 + zip::Le16(&b[pos + 28]) + zip::Le16(&b[pos + 30]) + zip::Le16(&b[pos + 32]);
  }
  if (end.centralDirectoryOffset >= at) {
    Put32(b, static_cast<std::size_t>(end.offset) + 16, end.centralDirectoryOffset + static_cast<std::uint32_t>(count));
  }
  b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), count, 0x5a);
}

// Offset of the local header of entry `index` in central-directory order.
std::size_t LocalHeaderOf(const std::vector<unsigned char>& b, std::size_t index) {
  std::vector<zip::CentralEntry> entries;
  std::string error;
  EXPECT_TRUE(zip::ReadCentralDirectory(b, EndOf(b), entries, error)) << error;
  return entries.at(index).localHeaderOffset;
}

struct Output {
  int status;
  std::string err;
};

Output Check(const orvtest::TempDir& tmp, const std::vector<unsigned char>& bytes,
             const std::string& options = "") {
  const path archive = tmp.path() / "client.zip";
  orvtest::WriteFile(archive, std::string(bytes.begin(), bytes.end()));
  const path err = tmp.path() / "stderr";
  const int status = orvtest::Shell(std::string(ORVALUNE_TEST_CHECK_ARCHIVE) + " " + options + " " +
                                    orvtest::Quote(archive.string()) + " 2>" + orvtest::Quote(err.string()));
  return {status, orvtest::ReadFile(err)};
}

TEST(ArchiveCheck, RefusesArchivesThatReadDifferentlyFrontToBack) {
  const std::vector<unsigned char> good = orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE);
  struct Row {
    const char* label;
    std::function<void(std::vector<unsigned char>&)> change;
    std::string message;
  };
  const Row rows[] = {
      {"a local header names a file beside the bundle",
       [](std::vector<unsigned char>& b) {
         const std::size_t at = LocalHeaderOf(b, 3);
         b[at + 30] = 'X';  // "Orvalune..." becomes "Xrvalune...": outside the top folder
       },
       "local header names \"Xrvalune"},
      {"another method in the local header",
       [](std::vector<unsigned char>& b) { b[LocalHeaderOf(b, 3) + 8] = 12; },
       "local header gives method 12"},
      {"other flags in the local header",
       [](std::vector<unsigned char>& b) { b[LocalHeaderOf(b, 3) + 6] |= 0x02; },
       "flags differ"},
      {"another CRC in the local header",
       [](std::vector<unsigned char>& b) { b[LocalHeaderOf(b, 3) + 14] ^= 0xFF; },
       "CRC or sizes differ"},
      {"bytes before the first entry", [](std::vector<unsigned char>& b) { InsertBytes(b, 0, 64); },
       "bytes before its local header"},
      {"bytes between two entries",
       [](std::vector<unsigned char>& b) { InsertBytes(b, LocalHeaderOf(b, 5), 30); },
       "bytes before its local header"},
      {"bytes before the central directory",
       [](std::vector<unsigned char>& b) { InsertBytes(b, EndOf(b).centralDirectoryOffset, 8); },
       "bytes between the last entry and the central directory"},
      {"a ZIP64 end record before the end record",
       [](std::vector<unsigned char>& b) {
         std::vector<unsigned char> record(56, 0);
         Put32(record, 0, zip::kZip64EndRecordSignature);
         b.insert(b.begin() + static_cast<std::ptrdiff_t>(EndOf(b).offset), record.begin(), record.end());
       },
       "a ZIP64 record?"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    orvtest::TempDir tmp;
    std::vector<unsigned char> bytes = good;
    row.change(bytes);
    const Output result = Check(tmp, bytes);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find(row.message), std::string::npos) << result.err;
  }
}

TEST(ArchiveCheck, UnpackedSizeLimit) {
  orvtest::TempDir tmp;
  const std::vector<unsigned char> good = orvtest::ReadBytes(ORVALUNE_TEST_CLIENT_ARCHIVE);
  EXPECT_EQ(Check(tmp, good, "--max-unpacked 2147483648").status, 0);
  const Output result = Check(tmp, good, "--max-unpacked 1000");
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("above the limit of 1000"), std::string::npos) << result.err;
}

TEST(ArchiveCheck, AcceptsDataDescriptors) {
  // bsdtar writes the CRC and sizes of deflated entries after their data.
  orvtest::TempDir tmp;
  const std::string bundle = std::string(ORVALUNE_TEST_MAKE_BUNDLE) + " " + ORVALUNE_TEST_CLIENT + " " +
                             orvtest::Quote(tmp.str()) + " " + orvtest::Quote((tmp.path() / "a.zip").string());
  ASSERT_EQ(orvtest::Shell(bundle), 0);
  const path archive = tmp.path() / "descriptors.zip";
  ASSERT_EQ(orvtest::Shell("cd " + orvtest::Quote(tmp.str()) + " && bsdtar -cf " +
                           orvtest::Quote(archive.string()) + " --format zip 'Orvalune Client.app'"),
            0);
  std::vector<unsigned char> bytes = orvtest::ReadBytes(archive);
  std::vector<zip::CentralEntry> entries;
  std::string error;
  ASSERT_TRUE(zip::ReadCentralDirectory(bytes, EndOf(bytes), entries, error)) << error;
  int described = 0;
  for (const auto& e : entries) described += (e.flags & 0x08) != 0 ? 1 : 0;
  ASSERT_GT(described, 0) << "bsdtar wrote no data descriptors";
  const Output result = Check(tmp, bytes);
  EXPECT_EQ(result.status, 0) << result.err;
}

}  // namespace
