#include "tools/stamp_zip.h"

#include <Poco/Exception.h>
#include <Poco/Path.h>
#include <Poco/Pipe.h>
#include <Poco/PipeStream.h>
#include <Poco/Process.h>
#include <Poco/SHA2Engine.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

namespace varnesk {
namespace stamp {
namespace {

enum class Kind { kFolder, kFile, kLink };

struct TreeEntry {
  Kind kind;
  std::uint32_t mode;
};

const char* KindName(Kind kind) {
  return kind == Kind::kFolder ? "folder" : kind == Kind::kLink ? "link" : "file";
}

std::uint32_t ModeBits(const fs::file_status& status) {
  return static_cast<std::uint32_t>(status.permissions() & fs::perms::mask);
}

// The tree at `bundle` as a zip names it: "FOLDER/", "FOLDER/a/b", folders with a slash.
std::map<std::string, TreeEntry> ListBundle(const fs::path& bundle) {
  const std::string top = bundle.filename().string();
  std::map<std::string, TreeEntry> tree;
  tree[top + "/"] = {Kind::kFolder, ModeBits(fs::symlink_status(bundle))};
  for (auto it = fs::recursive_directory_iterator(bundle); it != fs::recursive_directory_iterator(); ++it) {
    const fs::file_status status = it->symlink_status();
    std::string name = top + "/" + it->path().lexically_relative(bundle).generic_string();
    Kind kind = Kind::kFile;
    if (fs::is_symlink(status)) {
      kind = Kind::kLink;
    } else if (fs::is_directory(status)) {
      kind = Kind::kFolder;
      name += "/";
    }
    tree[name] = {kind, ModeBits(status)};
  }
  return tree;
}

std::string Octal(std::uint32_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", mode);
  return text;
}

// A name that would land outside the folder it is unpacked into, or an addition that
// some zippers make and that does not belong to the bundle.
const char* UnsafeName(const std::string& name) {
  if (name.empty() || name[0] == '/' || name[0] == '\\') return "an absolute name";
  std::size_t start = 0;
  while (start <= name.size()) {
    const std::size_t end = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, end - start);
    if (part == "..") return "a \"..\" component";
    if (part == "__MACOSX") return "a \"__MACOSX\" component";
    start = end + 1;
  }
  return nullptr;
}

Kind EntryKind(const zip::CentralEntry& entry) {
  if (entry.IsDirectory()) return Kind::kFolder;
  return entry.IsSymlink() ? Kind::kLink : Kind::kFile;
}

}  // namespace

std::string FindZipProgram() {
  const char* pathList = std::getenv("PATH");
  Poco::Path found;
  if (pathList == nullptr || !Poco::Path::find(pathList, "zip", found)) return "";
  return found.toString();
}

fs::path ZipFolder(const std::string& zipProgram, const fs::path& parent, const std::string& name) {
  // -nw: the name is a name, not a wildcard pattern; "--": a name that starts with "-"
  // is not an option. ZIP and ZIPOPT would add options of the user's to every run.
  const Poco::Process::Args args = {"-nw", "-qry", "./" + name + ".zip", "--", name};
  const Poco::Process::Env env = {{"ZIP", ""}, {"ZIPOPT", ""}};
  std::string messages;
  int status = -1;
  try {
    Poco::Pipe input, errors;
    Poco::ProcessHandle handle =
        Poco::Process::launch(zipProgram, args, parent.string(), &input, nullptr, &errors, env);
    input.close();
    Poco::PipeInputStream stream(errors);
    messages.assign(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    status = handle.wait();
  } catch (const Poco::Exception& e) {
    throw std::runtime_error("cannot run " + zipProgram + ": " + e.displayText());
  }
  if (status != 0) {
    const std::size_t text = messages.find_first_not_of("\n");
    const std::string first =
        text == std::string::npos ? "" : ": " + messages.substr(text, messages.find('\n', text) - text);
    throw std::runtime_error("zip failed with exit status " + std::to_string(status) + first);
  }
  return parent / (name + ".zip");
}

std::vector<zip::CentralEntry> ReadZipEntries(const fs::path& archive) {
  std::ifstream in(archive, std::ios::binary);
  if (!in) throw std::runtime_error(archive.string() + ": cannot be read");
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  const std::size_t tail = std::min(bytes.size(), zip::kMaxEndRecordTail);
  zip::EndRecord end;
  std::vector<zip::CentralEntry> entries;
  std::string error;
  if (!zip::FindEndRecord(bytes.data() + bytes.size() - tail, tail, bytes.size() - tail, end)) {
    throw std::runtime_error(archive.string() + ": not a ZIP archive (no end record)");
  }
  if (!zip::ReadCentralDirectory(bytes, end, entries, error)) {
    throw std::runtime_error(archive.string() + ": " + error);
  }
  return entries;
}

void VerifyBundleZip(const fs::path& archive, const fs::path& bundle) {
  std::map<std::string, TreeEntry> expected = ListBundle(bundle);
  for (const zip::CentralEntry& entry : ReadZipEntries(archive)) {
    const std::string where = archive.filename().string() + ": entry \"" + entry.name + "\"";
    if (const char* unsafe = UnsafeName(entry.name)) throw std::runtime_error(where + " has " + unsafe);
    const auto found = expected.find(entry.name);
    if (found == expected.end()) throw std::runtime_error(where + " is not in the bundle, or given twice");
    const Kind kind = EntryKind(entry);
    if (kind != found->second.kind) {
      throw std::runtime_error(where + " is a " + KindName(kind) + ", the bundle has a " +
                               KindName(found->second.kind));
    }
    const std::uint32_t mode = entry.UnixMode() & 07777u;
    if (kind != Kind::kLink && mode != found->second.mode) {
      throw std::runtime_error(where + " has mode " + Octal(mode) + ", the bundle's is " +
                               Octal(found->second.mode));
    }
    expected.erase(found);
  }
  if (!expected.empty()) {
    throw std::runtime_error(archive.filename().string() + ": \"" + expected.begin()->first + "\" is missing");
  }
}

bool BundleFolderInZip(const std::vector<zip::CentralEntry>& entries, std::string& folder,
                       std::string& error) {
  std::set<std::string> tops;
  bool nested = false;
  for (const zip::CentralEntry& entry : entries) {
    const std::size_t slash = entry.name.find('/');
    const std::string top = entry.name.substr(0, slash);
    if (top == "__MACOSX") continue;
    tops.insert(top);
    nested = nested || (slash != std::string::npos && slash + 1 < entry.name.size());
  }
  if (tops.empty()) {
    error = "holds nothing";
    return false;
  }
  if (tops.size() > 1) {
    error = "holds " + std::to_string(tops.size()) + " top-level entries, not one bundle folder";
    return false;
  }
  if (!nested) {
    error = "holds only \"" + *tops.begin() + "\", no bundle folder";
    return false;
  }
  folder = *tops.begin();
  if (folder.size() < 4 || folder.compare(folder.size() - 4, 4, ".app") != 0) {
    error = "its folder \"" + folder + "\" does not end in \".app\"";
    return false;
  }
  const std::string installer = folder + "/Contents/MacOS/OrvaluneInstaller";
  for (const zip::CentralEntry& entry : entries) {
    if (entry.name != installer) continue;
    if (EntryKind(entry) != Kind::kFile) {
      error = installer + " is a " + KindName(EntryKind(entry)) + ", not the executable";
    } else if ((entry.UnixMode() & 0100u) == 0) {
      error = installer + " is not executable (mode " + Octal(entry.UnixMode() & 07777u) +
              "); zip it again with its mode";
    } else {
      return true;
    }
    return false;
  }
  error = "holds no " + installer;
  return false;
}

bool LooksLikeZip(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::array<unsigned char, 4> head{};
  if (!in.read(reinterpret_cast<char*>(head.data()), head.size())) return false;
  const std::uint32_t signature = zip::Le32(head.data());
  return signature == zip::kLocalHeaderSignature || signature == zip::kEndRecordSignature;
}

bool IsMachO(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::array<unsigned char, 4> head{};
  if (!in.read(reinterpret_cast<char*>(head.data()), head.size())) return false;
  const std::uint32_t magic = (std::uint32_t{head[0]} << 24) | (std::uint32_t{head[1]} << 16) |
                              (std::uint32_t{head[2]} << 8) | head[3];
  // 32- and 64-bit thin files in either byte order, and universal files.
  const std::uint32_t kMagics[] = {0xFEEDFACE, 0xFEEDFACF, 0xCEFAEDFE, 0xCFFAEDFE,
                                   0xCAFEBABE, 0xBEBAFECA, 0xCAFEBABF, 0xBFBAFECA};
  return std::find(std::begin(kMagics), std::end(kMagics), magic) != std::end(kMagics);
}

std::string Sha256OfFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error(file.string() + ": cannot be read");
  Poco::SHA2Engine engine(Poco::SHA2Engine::SHA_256);
  std::vector<char> buffer(1 << 16);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    engine.update(buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) throw std::runtime_error(file.string() + ": cannot be read");
  return Poco::DigestEngine::digestToHex(engine.digest());
}

}  // namespace stamp
}  // namespace varnesk
