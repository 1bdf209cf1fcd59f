#include "tools/MachOImage.h"

#include <cstdio>
#include <cstring>

namespace varnesk {
namespace macho {

std::uint32_t Be32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | p[3];
}

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (static_cast<std::uint32_t>(p[1]) << 8) | (static_cast<std::uint32_t>(p[2]) << 16) |
         (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Le64(const std::uint8_t* p) {
  return Le32(p) | (static_cast<std::uint64_t>(Le32(p + 4)) << 32);
}

namespace {

std::uint64_t Be64(const std::uint8_t* p) {
  return (static_cast<std::uint64_t>(Be32(p)) << 32) | Be32(p + 4);
}

// True when [offset, offset + size) lies within `limit` bytes.
bool Within(std::uint64_t offset, std::uint64_t size, std::uint64_t limit) {
  return offset <= limit && size <= limit - offset;
}

// A fixed-width name field, cut at its first NUL.
std::string FixedName(const std::uint8_t* p, std::size_t width) {
  const void* nul = std::memchr(p, 0, width);
  return std::string(reinterpret_cast<const char*>(p),
                     nul ? static_cast<const std::uint8_t*>(nul) - p : width);
}

std::string ArchName(std::uint32_t cpuType) {
  if (cpuType == kCpuTypeX86_64) return "x86_64";
  if (cpuType == kCpuTypeArm64) return "arm64";
  char text[32];
  std::snprintf(text, sizeof text, "cputype 0x%x", cpuType);
  return text;
}

class SliceReader {
 public:
  SliceReader(const std::uint8_t* data, std::uint64_t size, Slice& slice)
      : m_data(data), m_size(size), m_slice(slice) {}

  bool Read(std::string& error) {
    if (m_size < 32 || Le32(m_data) != kMagic64) {
      error = "not a 64-bit little-endian Mach-O file";
      return false;
    }
    m_slice.cpuType = Le32(m_data + 4);
    m_slice.arch = ArchName(m_slice.cpuType);
    m_slice.fileType = Le32(m_data + 12);
    const std::uint32_t commands = Le32(m_data + 16);
    const std::uint32_t commandBytes = Le32(m_data + 20);
    m_slice.flags = Le32(m_data + 24);
    if (!Within(32, commandBytes, m_size)) return Fail(error, "load commands run past the end");

    std::uint64_t pos = 32;
    const std::uint64_t end = 32 + static_cast<std::uint64_t>(commandBytes);
    for (std::uint32_t i = 0; i < commands; ++i) {
      if (!Within(pos, 8, end)) return Fail(error, "load command " + std::to_string(i) + " cut off");
      const std::uint32_t cmd = Le32(m_data + pos);
      const std::uint32_t size = Le32(m_data + pos + 4);
      if (size < 8 || !Within(pos, size, end)) {
        return Fail(error, "load command " + std::to_string(i) + " has a bad size");
      }
      if (!ReadCommand(cmd, m_data + pos, size, error)) return false;
      pos += size;
    }
    return true;
  }

 private:
  bool Fail(std::string& error, const std::string& text) {
    error = text;
    return false;
  }

  bool ReadCommand(std::uint32_t cmd, const std::uint8_t* p, std::uint32_t size, std::string& error) {
    switch (cmd) {
      case kCmdSegment64:
        return ReadSegment(p, size, error);
      case kCmdSymtab:
        return size >= 24 ? ReadSymbols(Le32(p + 8), Le32(p + 12), Le32(p + 16), Le32(p + 20), error)
                          : Fail(error, "LC_SYMTAB too short");
      case kCmdLoadDylib:
      case kCmdLoadWeakDylib:
      case kCmdReexportDylib:
      case kCmdLazyLoadDylib:
      case kCmdLoadUpwardDylib: {
        if (size < 24) return Fail(error, "dylib command too short");
        const std::uint32_t nameOffset = Le32(p + 8);
        if (nameOffset >= size) return Fail(error, "dylib name outside its command");
        m_slice.libraries.push_back(FixedName(p + nameOffset, size - nameOffset));
        return true;
      }
      case kCmdBuildVersion:
        if (size < 24) return Fail(error, "LC_BUILD_VERSION too short");
        m_slice.platform = Le32(p + 8);
        m_slice.minOs = Le32(p + 12);
        return true;
      case kCmdVersionMinMacOS:
        if (size < 16) return Fail(error, "LC_VERSION_MIN_MACOSX too short");
        m_slice.platform = kPlatformMacOS;
        m_slice.minOs = Le32(p + 8);
        return true;
      case kCmdCodeSignature:
        if (size < 16) return Fail(error, "LC_CODE_SIGNATURE too short");
        m_slice.hasSignature = true;
        m_slice.signatureOffset = Le32(p + 8);
        m_slice.signatureSize = Le32(p + 12);
        if (!Within(m_slice.signatureOffset, m_slice.signatureSize, m_size)) {
          return Fail(error, "the code signature lies outside the slice");
        }
        return true;
      default:
        return true;
    }
  }

  bool ReadSegment(const std::uint8_t* p, std::uint32_t size, std::string& error) {
    if (size < 72) return Fail(error, "LC_SEGMENT_64 too short");
    Segment segment;
    segment.name = FixedName(p + 8, 16);
    segment.fileOffset = Le64(p + 40);
    segment.fileSize = Le64(p + 48);
    if (!Within(segment.fileOffset, segment.fileSize, m_size)) {
      return Fail(error, "segment " + segment.name + " lies outside the slice");
    }
    m_slice.segments.push_back(segment);
    const std::uint32_t count = Le32(p + 64);
    if (static_cast<std::uint64_t>(count) * 80 > size - 72) {
      return Fail(error, "segment " + segment.name + " lists more sections than it holds");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* s = p + 72 + static_cast<std::size_t>(i) * 80;
      Section section;
      section.name = FixedName(s, 16);
      section.segment = FixedName(s + 16, 16);
      section.address = Le64(s + 32);
      section.size = Le64(s + 40);
      section.fileOffset = Le32(s + 48);
      section.alignLog2 = Le32(s + 52);
      section.flags = Le32(s + 64);
      if (section.HasFileData() && !Within(section.fileOffset, section.size, m_size)) {
        return Fail(error, "section " + section.segment + "," + section.name +
                               " lies outside the slice");
      }
      m_slice.sections.push_back(section);
    }
    return true;
  }

  bool ReadSymbols(std::uint32_t symOffset, std::uint32_t count, std::uint32_t strOffset,
                   std::uint32_t strSize, std::string& error) {
    if (!Within(symOffset, static_cast<std::uint64_t>(count) * 16, m_size) ||
        !Within(strOffset, strSize, m_size)) {
      return Fail(error, "the symbol table lies outside the slice");
    }
    m_slice.symbols.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* n = m_data + symOffset + static_cast<std::size_t>(i) * 16;
      Symbol symbol;
      const std::uint32_t nameIndex = Le32(n);
      symbol.type = n[4];
      symbol.section = n[5];
      symbol.desc = static_cast<std::uint16_t>(n[6] | (n[7] << 8));
      symbol.value = Le64(n + 8);
      if (nameIndex >= strSize) return Fail(error, "symbol " + std::to_string(i) + " has no name");
      symbol.name = FixedName(m_data + strOffset + nameIndex, strSize - nameIndex);
      m_slice.symbols.push_back(std::move(symbol));
    }
    return true;
  }

  const std::uint8_t* m_data;
  std::uint64_t m_size;
  Slice& m_slice;
};

}  // namespace

bool ReadImage(const std::vector<std::uint8_t>& bytes, Image& image, std::string& error) {
  image = Image();
  if (bytes.size() < 8) {
    error = "too short for a Mach-O file";
    return false;
  }
  const std::uint32_t magic = Be32(bytes.data());
  if (magic != kFatMagic && magic != kFatMagic64) {
    image.slices.emplace_back();
    image.slices.back().size = bytes.size();
    return SliceReader(bytes.data(), bytes.size(), image.slices.back()).Read(error);
  }

  image.universal = true;
  const bool wide = magic == kFatMagic64;
  const std::uint32_t count = Be32(bytes.data() + 4);
  const std::uint64_t entrySize = wide ? 32 : 20;
  if (count == 0 || !Within(8, count * entrySize, bytes.size())) {
    error = "the universal header lists no slices or runs past the end";
    return false;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint8_t* e = bytes.data() + 8 + i * entrySize;
    Slice slice;
    slice.offset = wide ? Be64(e + 8) : Be32(e + 8);
    slice.size = wide ? Be64(e + 16) : Be32(e + 12);
    if (!Within(slice.offset, slice.size, bytes.size())) {
      error = "slice " + std::to_string(i) + " lies outside the file";
      return false;
    }
    std::string sliceError;
    if (!SliceReader(bytes.data() + slice.offset, slice.size, slice).Read(sliceError)) {
      error = "slice " + std::to_string(i) + " (" + ArchName(Be32(e)) + "): " + sliceError;
      return false;
    }
    if (slice.cpuType != Be32(e)) {
      error = "slice " + std::to_string(i) + " is " + slice.arch +
              " but the universal header says " + ArchName(Be32(e));
      return false;
    }
    image.slices.push_back(std::move(slice));
  }
  return true;
}

std::string VersionText(std::uint32_t version) {
  std::string text = std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xff);
  if ((version & 0xff) != 0) text += "." + std::to_string(version & 0xff);
  return text;
}

bool ParseVersion(const std::string& text, std::uint32_t& version) {
  unsigned parts[3] = {0, 0, 0};
  const unsigned limits[3] = {0xffff, 0xff, 0xff};
  std::size_t part = 0;
  bool digit = false;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
      if (parts[part] > limits[part]) return false;
      digit = true;
    } else if (c == '.' && digit && part < 2) {
      ++part;
      digit = false;
    } else {
      return false;
    }
  }
  if (!digit) return false;
  version = (parts[0] << 16) | (parts[1] << 8) | parts[2];
  return true;
}

}  // namespace macho
}  // namespace varnesk
