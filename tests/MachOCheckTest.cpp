// The checks of cross-built macOS executables, on small Mach-O files made here: one
// that passes everything, and each fault a build could bring in, one at a time.
#include <Poco/SHA2Engine.h>
#include <zlib.h>

#include <cstring>

#include "TestSupport.h"
#include "tools/MachOChecks.h"

namespace {

using namespace varnesk::macho;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kBase = 0x100000000;  // where __TEXT starts in memory
constexpr std::uint32_t kConstOffset = 0x1080;
constexpr std::uint32_t kPage = 4096;
const std::string kLibSystem = "/usr/lib/libSystem.B.dylib";

void PutLe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void PutLe64(Bytes& b, std::size_t at, std::uint64_t v) {
  PutLe32(b, at, static_cast<std::uint32_t>(v));
  PutLe32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
void PutBe32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void PutName(Bytes& b, std::size_t at, const std::string& name) {
  std::memcpy(&b[at], name.data(), std::min<std::size_t>(name.size(), 16));
}
std::size_t AlignUp(std::size_t v, std::size_t a) { return (v + a - 1) / a * a; }

struct Import {
  std::string name;
  unsigned ordinal;
};

// What one slice holds; the defaults make a slice that passes every check.
struct FakeSlice {
  std::uint32_t cpuType = kCpuTypeArm64;
  std::uint32_t minOs = 0x000b0000;  // 11.0
  bool buildVersion = true;
  bool twoLevel = true;
  std::vector<std::string> libraries{kLibSystem};
  std::vector<Import> imports{{"_malloc", 1}, {"__os_log_impl", 1}};
  std::string archive;         // the payload, split as payload_gen splits it
  bool externalLabels = false;
  std::uint32_t labelShift = 0;  // moves every label off its 64-byte boundary
  std::string constSegment = "__TEXT";
  std::string constSection = "__const";
  bool sign = true;
};

std::vector<std::uint64_t> SliceLengths(std::size_t size) {
  const std::uint64_t common = ((size + 3) / 4 + 63) / 64 * 64;
  std::vector<std::uint64_t> lengths;
  std::uint64_t left = size;
  for (int i = 0; i < 4; ++i) {
    lengths.push_back(i < 3 ? std::min(common, left) : left);
    left -= lengths.back();
  }
  return lengths;
}

Bytes Sha256(const std::uint8_t* data, std::size_t size) {
  Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_256);
  engine.update(data, size);
  const auto& digest = engine.digest();
  return Bytes(digest.begin(), digest.end());
}

// An ad-hoc signature as the linker writes it: one SHA-256 code directory over every
// 4 KiB page in front of the signature.
Bytes Signature(const Bytes& slice, std::size_t codeLimit, std::uint64_t textSize) {
  const std::string identifier = "fake";
  const std::size_t pages = (codeLimit + kPage - 1) / kPage;
  const std::size_t hashOffset = 88 + identifier.size() + 1;
  const std::size_t cdLength = hashOffset + pages * 32;
  Bytes sig(20 + cdLength, 0);
  PutBe32(sig, 0, 0xfade0cc0);
  PutBe32(sig, 4, static_cast<std::uint32_t>(sig.size()));
  PutBe32(sig, 8, 1);
  PutBe32(sig, 12, 0);   // slot: code directory
  PutBe32(sig, 16, 20);  // its offset
  const std::size_t cd = 20;
  PutBe32(sig, cd + 0, 0xfade0c02);
  PutBe32(sig, cd + 4, static_cast<std::uint32_t>(cdLength));
  PutBe32(sig, cd + 8, 0x20400);
  PutBe32(sig, cd + 12, 0x20002);  // ad hoc, linker-signed
  PutBe32(sig, cd + 16, static_cast<std::uint32_t>(hashOffset));
  PutBe32(sig, cd + 20, 88);
  PutBe32(sig, cd + 24, 0);
  PutBe32(sig, cd + 28, static_cast<std::uint32_t>(pages));
  PutBe32(sig, cd + 32, static_cast<std::uint32_t>(codeLimit));
  sig[cd + 36] = 32;
  sig[cd + 37] = 2;  // SHA-256
  sig[cd + 39] = 12;
  PutBe32(sig, cd + 76, static_cast<std::uint32_t>(textSize));  // exec segment limit
  sig[cd + 87] = 1;                                              // main binary
  std::memcpy(&sig[cd + 88], identifier.c_str(), identifier.size() + 1);
  for (std::size_t page = 0; page < pages; ++page) {
    const std::size_t start = page * kPage;
    const Bytes hash = Sha256(slice.data() + start, std::min<std::size_t>(kPage, codeLimit - start));
    std::memcpy(&sig[cd + hashOffset + page * 32], hash.data(), 32);
  }
  return sig;
}

Bytes BuildSlice(const FakeSlice& f) {
  const std::vector<std::uint64_t> lengths = SliceLengths(f.archive.size());
  const std::uint32_t constSize = static_cast<std::uint32_t>(f.labelShift + f.archive.size() + 1);
  const std::size_t textSize = AlignUp(kConstOffset + constSize, kPage);

  struct Sym {
    std::string name;
    std::uint8_t type, sect;
    std::uint16_t desc;
    std::uint64_t value;
  };
  std::vector<Sym> symbols;
  std::uint64_t at = kBase + kConstOffset + f.labelShift;
  for (int i = 0; i < 4; ++i) {
    symbols.push_back({"_THE_ZIP_BYTES" + std::to_string(i + 1),
                       static_cast<std::uint8_t>(kSymSection | (f.externalLabels ? kSymExternal : 0)), 2, 0,
                       at});
    at += lengths[i];
  }
  symbols.push_back({"_main", kSymSection | kSymExternal, 1, 0, kBase + 0x1000});
  for (const Import& import : f.imports) {
    symbols.push_back({import.name, kSymExternal, 0, static_cast<std::uint16_t>(import.ordinal << 8), 0});
  }
  std::string strings(1, '\0');
  std::vector<std::uint32_t> nameIndex;
  for (const Sym& s : symbols) {
    nameIndex.push_back(static_cast<std::uint32_t>(strings.size()));
    strings += s.name + '\0';
  }

  // Load commands.
  std::size_t commandBytes = 232 + 72 + 24 + (f.buildVersion ? 24 : 0) + (f.sign ? 16 : 0);
  std::vector<std::size_t> dylibSizes;
  for (const std::string& library : f.libraries) {
    dylibSizes.push_back(AlignUp(24 + library.size() + 1, 8));
    commandBytes += dylibSizes.back();
  }
  const std::size_t symOffset = textSize;
  const std::size_t strOffset = symOffset + symbols.size() * 16;
  const std::size_t sigOffset = AlignUp(strOffset + strings.size(), 16);

  Bytes b(sigOffset, 0);
  PutLe32(b, 0, kMagic64);
  PutLe32(b, 4, f.cpuType);
  PutLe32(b, 12, 2);  // executable
  PutLe32(b, 24, f.twoLevel ? kFlagTwoLevel : 0);
  std::size_t c = 32;
  std::uint32_t commands = 0;
  // __TEXT with __text and the payload's section.
  PutLe32(b, c, kCmdSegment64);
  PutLe32(b, c + 4, 232);
  PutName(b, c + 8, "__TEXT");
  PutLe64(b, c + 24, kBase);
  PutLe64(b, c + 32, textSize);
  PutLe64(b, c + 40, 0);
  PutLe64(b, c + 48, textSize);
  PutLe32(b, c + 64, 2);
  PutName(b, c + 72, "__text");
  PutName(b, c + 88, "__TEXT");
  PutLe64(b, c + 104, kBase + 0x1000);
  PutLe64(b, c + 112, 0x40);
  PutLe32(b, c + 120, 0x1000);
  PutLe32(b, c + 136, 0x80000400);
  PutName(b, c + 152, f.constSection);
  PutName(b, c + 168, f.constSegment);
  PutLe64(b, c + 184, kBase + kConstOffset);
  PutLe64(b, c + 192, constSize);
  PutLe32(b, c + 200, kConstOffset);
  PutLe32(b, c + 204, 6);
  c += 232;
  ++commands;
  PutLe32(b, c, kCmdSegment64);
  PutLe32(b, c + 4, 72);
  PutName(b, c + 8, "__LINKEDIT");
  PutLe64(b, c + 40, textSize);
  const std::size_t linkeditAt = c;
  c += 72;
  ++commands;
  PutLe32(b, c, kCmdSymtab);
  PutLe32(b, c + 4, 24);
  PutLe32(b, c + 8, static_cast<std::uint32_t>(symOffset));
  PutLe32(b, c + 12, static_cast<std::uint32_t>(symbols.size()));
  PutLe32(b, c + 16, static_cast<std::uint32_t>(strOffset));
  PutLe32(b, c + 20, static_cast<std::uint32_t>(strings.size()));
  c += 24;
  ++commands;
  if (f.buildVersion) {
    PutLe32(b, c, kCmdBuildVersion);
    PutLe32(b, c + 4, 24);
    PutLe32(b, c + 8, kPlatformMacOS);
    PutLe32(b, c + 12, f.minOs);
    PutLe32(b, c + 16, f.minOs);
    c += 24;
    ++commands;
  }
  for (std::size_t i = 0; i < f.libraries.size(); ++i) {
    PutLe32(b, c, kCmdLoadDylib);
    PutLe32(b, c + 4, static_cast<std::uint32_t>(dylibSizes[i]));
    PutLe32(b, c + 8, 24);
    std::memcpy(&b[c + 24], f.libraries[i].data(), f.libraries[i].size());
    c += dylibSizes[i];
    ++commands;
  }
  const std::size_t signatureCommand = c;
  if (f.sign) ++commands;
  PutLe32(b, 16, commands);
  PutLe32(b, 20, static_cast<std::uint32_t>(commandBytes));

  // Contents: code, the payload, the symbol table.
  std::memset(&b[0x1000], 0xc3, 0x40);
  std::memcpy(&b[kConstOffset + f.labelShift], f.archive.data(), f.archive.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    const std::size_t n = symOffset + i * 16;
    PutLe32(b, n, nameIndex[i]);
    b[n + 4] = symbols[i].type;
    b[n + 5] = symbols[i].sect;
    b[n + 6] = static_cast<std::uint8_t>(symbols[i].desc);
    b[n + 7] = static_cast<std::uint8_t>(symbols[i].desc >> 8);
    PutLe64(b, n + 8, symbols[i].value);
  }
  std::memcpy(&b[strOffset], strings.data(), strings.size());

  // The signature hashes every byte in front of it, its own load command and the
  // __LINKEDIT size that includes it among them: those are written first.
  const std::size_t signatureSize = f.sign ? Signature(b, sigOffset, textSize).size() : 0;
  const std::size_t end = sigOffset + signatureSize;
  PutLe64(b, linkeditAt + 48, end - textSize);
  PutLe64(b, linkeditAt + 32, AlignUp(end - textSize, kPage));
  if (f.sign) {
    PutLe32(b, signatureCommand, kCmdCodeSignature);
    PutLe32(b, signatureCommand + 4, 16);
    PutLe32(b, signatureCommand + 8, static_cast<std::uint32_t>(sigOffset));
    PutLe32(b, signatureCommand + 12, static_cast<std::uint32_t>(signatureSize));
    const Bytes sig = Signature(b, sigOffset, textSize);
    b.insert(b.end(), sig.begin(), sig.end());
  }
  return b;
}

// A universal file of the given slices, each at a 16 KiB boundary as lipo places them.
Bytes Universal(const std::vector<Bytes>& slices, const std::vector<std::uint32_t>& cpuTypes) {
  Bytes file(0x4000, 0);
  PutBe32(file, 0, kFatMagic);
  PutBe32(file, 4, static_cast<std::uint32_t>(slices.size()));
  for (std::size_t i = 0; i < slices.size(); ++i) {
    file.resize(AlignUp(file.size(), 0x4000), 0);
    const std::size_t e = 8 + i * 20;
    PutBe32(file, e, cpuTypes[i]);
    PutBe32(file, e + 8, static_cast<std::uint32_t>(file.size()));
    PutBe32(file, e + 12, static_cast<std::uint32_t>(slices[i].size()));
    PutBe32(file, e + 16, 14);
    file.insert(file.end(), slices[i].begin(), slices[i].end());
  }
  return file;
}

std::string TestArchive() {
  std::string archive;
  for (int i = 0; i < 5000; ++i) archive += static_cast<char>((i * 131) ^ (i >> 3));
  return archive;
}

PayloadRecord RecordOf(const std::string& archive) {
  PayloadRecord record;
  const std::vector<std::uint64_t> lengths = SliceLengths(archive.size());
  for (int i = 0; i < 4; ++i) record.sliceLengths[i] = lengths[i];
  record.size = archive.size();
  record.crc32 = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(archive.data()), static_cast<uInt>(archive.size())));
  return record;
}

// A universal installer as the cross build makes it: x86_64 unsigned, arm64 signed.
struct Built {
  Bytes bytes;
  Image image;
};

Built Make(FakeSlice x86, FakeSlice arm) {
  x86.cpuType = kCpuTypeX86_64;
  x86.sign = false;
  arm.cpuType = kCpuTypeArm64;
  Built built{Universal({BuildSlice(x86), BuildSlice(arm)}, {kCpuTypeX86_64, kCpuTypeArm64}), {}};
  std::string error;
  EXPECT_TRUE(ReadImage(built.bytes, built.image, error)) << error;
  return built;
}

FakeSlice Good() {
  FakeSlice f;
  f.archive = TestArchive();
  return f;
}

std::string Problems(const CheckResult& r) {
  std::string all;
  for (const std::string& p : r.problems) all += p + "\n";
  return all;
}

bool Mentions(const CheckResult& r, const std::string& text) {
  return Problems(r).find(text) != std::string::npos;
}

const std::map<std::string, std::string> kMinimum{{"x86_64", "11.0"}, {"arm64", "11.0"}};

TEST(MachOCheckTest, AGoodUniversalInstallerPassesEveryCheck) {
  const Built built = Make(Good(), Good());
  const std::string archiveText = TestArchive();
  const CheckResult checks[] = {
      CheckSlices(built.image, {"x86_64", "arm64"}),
      CheckMinimumOs(built.image, kMinimum),
      CheckImports(built.image, {kLibSystem}),
      CheckCodeSignature(built.image, built.bytes, {"arm64"}),
      CheckPayload(built.image, built.bytes, RecordOf(archiveText),
                   Bytes(archiveText.begin(), archiveText.end())),
  };
  for (const CheckResult& check : checks) {
    EXPECT_TRUE(check.Passed()) << Problems(check);
    EXPECT_FALSE(check.notes.empty());
  }
  const CheckResult signature = CheckCodeSignature(built.image, built.bytes, {"arm64"});
  ASSERT_EQ(signature.notes.size(), 2u);
  EXPECT_EQ(signature.notes[0], "x86_64: not signed");
  EXPECT_NE(signature.notes[1].find("arm64: code directory 0x0: ad hoc, linker-signed, identifier \"fake\", "
                                    "SHA-256, 4 pages of 4096 bytes rehashed"),
            std::string::npos)
      << signature.notes[1];
}

TEST(MachOCheckTest, SlicesMustBeExactlyTheExpectedOnes) {
  const Bytes arm = BuildSlice(Good());
  struct Row {
    const char* what;
    Bytes file;
    const char* problem;
  };
  const Row rows[] = {
      {"thin file", arm, "not a universal file (one slice: arm64)"},
      {"arm64 only", Universal({arm}, {kCpuTypeArm64}), "x86_64: present 0 times"},
      {"arm64 twice", Universal({arm, arm}, {kCpuTypeArm64, kCpuTypeArm64}), "arm64: present 2 times"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Image image;
    std::string error;
    ASSERT_TRUE(ReadImage(row.file, image, error)) << error;
    const CheckResult result = CheckSlices(image, {"x86_64", "arm64"});
    EXPECT_TRUE(Mentions(result, row.problem)) << Problems(result);
  }
  Image image = Make(Good(), Good()).image;
  EXPECT_TRUE(Mentions(CheckSlices(image, {"arm64"}), "x86_64: not expected"));
}

TEST(MachOCheckTest, MinimumSystemMustBeTheConfiguredOne) {
  FakeSlice old = Good();
  old.minOs = 0x000a0a00;  // 10.10
  FakeSlice none = Good();
  none.buildVersion = false;
  EXPECT_TRUE(Mentions(CheckMinimumOs(Make(old, Good()).image, kMinimum),
                       "x86_64: minimum macOS 10.10, configured 11.0"));
  EXPECT_TRUE(Mentions(CheckMinimumOs(Make(Good(), none).image, kMinimum),
                       "arm64: records no macOS minimum version"));
  EXPECT_TRUE(Mentions(CheckMinimumOs(Make(Good(), Good()).image, {{"x86_64", "11.0"}}),
                       "arm64: no minimum macOS version configured"));
  EXPECT_TRUE(CheckMinimumOs(Make(old, Good()).image, {{"x86_64", "10.10"}, {"arm64", "11"}}).Passed());
}

TEST(MachOCheckTest, ImportsMustComeFromTheAllowedLibraries) {
  struct Row {
    const char* what;
    std::vector<std::string> libraries;
    std::vector<Import> imports;
    bool twoLevel;
    const char* problem;  // nullptr: passes
  };
  const std::string libcxx = "/usr/lib/libc++.1.dylib";
  const std::string libz = "/usr/lib/libz.1.dylib";
  const Row rows[] = {
      {"libSystem only", {kLibSystem}, {{"_malloc", 1}}, true, nullptr},
      {"libz as well", {kLibSystem, libz}, {{"_malloc", 1}, {"_inflate", 2}}, true, nullptr},
      {"a symbol from libc++", {kLibSystem, libcxx}, {{"_malloc", 1}, {"__ZdlPv", 2}},
       true, "__ZdlPv comes from /usr/lib/libc++.1.dylib"},
      {"libc++ loaded, nothing taken", {kLibSystem, libcxx}, {{"_malloc", 1}}, true,
       "loads /usr/lib/libc++.1.dylib"},
      {"ordinal past the libraries", {kLibSystem}, {{"_malloc", 2}}, true,
       "_malloc names no loaded library (ordinal 2)"},
      {"flat lookup", {kLibSystem}, {{"_malloc", 0xfe}}, true, "_malloc names no loaded library (ordinal 254)"},
      {"flat namespace", {kLibSystem}, {{"_malloc", 1}}, false, "flat namespace"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeSlice arm = Good();
    arm.libraries = row.libraries;
    arm.imports = row.imports;
    arm.twoLevel = row.twoLevel;
    const CheckResult result = CheckImports(Make(Good(), arm).image, {kLibSystem, libz});
    if (row.problem == nullptr) {
      EXPECT_TRUE(result.Passed()) << Problems(result);
    } else {
      EXPECT_TRUE(Mentions(result, std::string("arm64: ") + row.problem)) << Problems(result);
    }
  }
}

TEST(MachOCheckTest, SignatureFaultsAreFound) {
  const Built good = Make(Good(), Good());
  const Slice& arm = good.image.slices[1];
  const std::size_t sig = arm.offset + arm.signatureOffset;
  const std::size_t cd = sig + 20;
  struct Row {
    const char* what;
    std::size_t at;
    std::uint8_t value;
    const char* problem;
  };
  const Row rows[] = {
      {"a changed byte of code", arm.offset + 0x1004, 0x90, "1 of 4 page hashes differ (first: page 1)"},
      {"a changed byte of the payload", arm.offset + kConstOffset + 4000, 0x00,
       "1 of 4 page hashes differ (first: page 2)"},
      {"a changed header byte", arm.offset + 8, 0x01, "page hashes differ (first: page 0)"},
      {"a changed page hash", cd + 88 + 5 + 2 * 32, 0x55, "1 of 4 page hashes differ (first: page 2)"},
      {"wrong blob magic", sig, 0x00, "not a signature blob"},
      {"code directory magic", cd + 3, 0x00, "not a code directory"},
      {"blob offset past the end", sig + 18, 0x7f, "lies outside the signature"},
      {"unknown hash type", cd + 37, 9, "unknown hash type 9"},
      {"short code limit", cd + 34, 0x00, "but the signature starts at"},
      {"no executable segment flag", cd + 87, 0, "does not mark it as one"},
      {"hashes outside the directory", cd + 28, 0x7f, "lie outside it"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes bytes = good.bytes;
    bytes[row.at] = row.value;
    Image image;
    std::string error;
    ASSERT_TRUE(ReadImage(bytes, image, error)) << error;
    const CheckResult result = CheckCodeSignature(image, bytes, {"arm64"});
    EXPECT_TRUE(Mentions(result, row.problem)) << Problems(result);
  }

  FakeSlice unsigned_arm = Good();
  unsigned_arm.sign = false;
  const Built bare = Make(Good(), unsigned_arm);
  EXPECT_TRUE(Mentions(CheckCodeSignature(bare.image, bare.bytes, {"arm64"}), "arm64: no code signature"));
  EXPECT_TRUE(CheckCodeSignature(bare.image, bare.bytes, {}).Passed());
}

TEST(MachOCheckTest, PayloadFaultsAreFound) {
  const std::string archive = TestArchive();
  const Bytes archiveBytes(archive.begin(), archive.end());
  struct Row {
    const char* what;
    void (*change)(FakeSlice&);
    const char* problem;
  };
  const Row rows[] = {
      {"external labels", [](FakeSlice& f) { f.externalLabels = true; },
       "arm64: THE_ZIP_BYTES1: is external, not local"},
      {"labels off their boundary", [](FakeSlice& f) { f.labelShift = 32; },
       "arm64: THE_ZIP_BYTES1: not 64-byte aligned"},
      {"labels in __DATA", [](FakeSlice& f) { f.constSegment = "__DATA"; },
       "THE_ZIP_BYTES1: lies in __DATA,__const, not __TEXT,__const"},
      {"labels in __cstring", [](FakeSlice& f) { f.constSection = "__cstring"; },
       "lies in __TEXT,__cstring"},
      {"another archive", [](FakeSlice& f) { f.archive[100] ^= 1; }, "arm64: CRC-32 of the joined bytes"},
      {"a shorter archive", [](FakeSlice& f) { f.archive.resize(4000); }, "bytes run past the end"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    FakeSlice arm = Good();
    row.change(arm);
    const Built built = Make(Good(), arm);
    const CheckResult result = CheckPayload(built.image, built.bytes, RecordOf(archive), archiveBytes);
    EXPECT_TRUE(Mentions(result, row.problem)) << Problems(result);
    EXPECT_TRUE(result.notes.size() == 1 && result.notes[0].rfind("x86_64: 4 local labels", 0) == 0);
  }

  const Built good = Make(Good(), Good());
  PayloadRecord wrongCrc = RecordOf(archive);
  wrongCrc.crc32 ^= 1;
  EXPECT_TRUE(Mentions(CheckPayload(good.image, good.bytes, wrongCrc, archiveBytes), "the build recorded"));
  Bytes otherFile = archiveBytes;
  otherFile[10] ^= 1;  // the archive on disk changed after the build
  EXPECT_TRUE(Mentions(CheckPayload(good.image, good.bytes, RecordOf(archive), otherFile),
                       "the joined bytes differ from the archive"));
  PayloadRecord badSum = RecordOf(archive);
  badSum.size += 1;
  EXPECT_TRUE(Mentions(CheckPayload(good.image, good.bytes, badSum, archiveBytes), "add up to"));
}

TEST(MachOCheckTest, ReadsTheRecordPayloadGenWrites) {
  const std::string header =
      "// Generated by payload_gen from /x/client.zip; do not edit.\n#pragma once\n#include <cstdint>\n\n"
      "namespace varnesk {\n"
      "constexpr std::int32_t kPayloadSliceLengths[4] = {57024, 57024, 57024, 57029};\n"
      "constexpr std::uint64_t kPayloadSize = 228101ull;\n"
      "constexpr std::uint32_t kPayloadCrc32 = 0x76a49957u;\n}  // namespace varnesk\n";
  PayloadRecord record;
  std::string error;
  ASSERT_TRUE(ParsePayloadRecord(header, record, error)) << error;
  EXPECT_EQ(record.sliceLengths[0], 57024u);
  EXPECT_EQ(record.sliceLengths[3], 57029u);
  EXPECT_EQ(record.size, 228101u);
  EXPECT_EQ(record.crc32, 0x76a49957u);

  for (const char* cut : {"kPayloadSliceLengths", "kPayloadSize", "kPayloadCrc32"}) {
    std::string damaged = header;
    damaged.replace(damaged.find(cut), std::strlen(cut), "kOther");
    EXPECT_FALSE(ParsePayloadRecord(damaged, record, error)) << cut;
  }
}

TEST(MachOCheckTest, VersionsReadAndPrint) {
  const std::pair<const char*, std::uint32_t> good[] = {
      {"11.0", 0x000b0000}, {"11", 0x000b0000}, {"10.10", 0x000a0a00}, {"10.15.7", 0x000a0f07}};
  for (const auto& [text, value] : good) {
    std::uint32_t parsed = 0;
    EXPECT_TRUE(ParseVersion(text, parsed)) << text;
    EXPECT_EQ(parsed, value) << text;
  }
  for (const char* bad : {"", ".", "11.", ".11", "11..0", "11.0.0.0", "11.256", "a.0", "70000"}) {
    std::uint32_t parsed = 0;
    EXPECT_FALSE(ParseVersion(bad, parsed)) << bad;
  }
  EXPECT_EQ(VersionText(0x000b0000), "11.0");
  EXPECT_EQ(VersionText(0x000a0f07), "10.15.7");
}

// A damaged file is an error or a set of findings, never a read outside its bytes:
// every cut and every single-byte change of the headers and load commands.
TEST(MachOCheckTest, DamagedFilesNeverCrashTheChecks) {
  const Built good = Make(Good(), Good());
  const std::string archive = TestArchive();
  const Bytes archiveBytes(archive.begin(), archive.end());
  const auto runAll = [&](const Bytes& bytes) {
    Image image;
    std::string error;
    if (!ReadImage(bytes, image, error)) {
      EXPECT_FALSE(error.empty());
      return;
    }
    CheckSlices(image, {"x86_64", "arm64"});
    CheckMinimumOs(image, kMinimum);
    CheckImports(image, {kLibSystem});
    CheckCodeSignature(image, bytes, {"arm64"});
    CheckPayload(image, bytes, RecordOf(archive), archiveBytes);
  };
  for (std::size_t size = 0; size < good.bytes.size(); size += 97) {
    runAll(Bytes(good.bytes.begin(), good.bytes.begin() + static_cast<std::ptrdiff_t>(size)));
  }
  const Slice& arm = good.image.slices[1];
  for (std::size_t at : {std::size_t{0}, arm.offset}) {
    for (std::size_t i = at; i < at + 600; ++i) {
      for (std::uint8_t value : {std::uint8_t{0x00}, std::uint8_t{0xff}, std::uint8_t{0x7f}}) {
        Bytes bytes = good.bytes;
        bytes[i] = value;
        runAll(bytes);
      }
    }
  }
  Bytes signature = good.bytes;
  for (std::size_t i = arm.offset + arm.signatureOffset; i < signature.size(); i += 3) {
    signature[i] = 0xff;
    runAll(signature);
  }
}

}  // namespace
