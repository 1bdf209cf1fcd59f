// Builds a client bundle shaped like the shipped one and its archive, for benchmarks:
// 552 entries (142 folders, 354 files, 56 links), about 49 MB unpacked and 19.6 MB
// zipped, the largest file about 9 MB. Contents are deterministic.
//
//   make_fixture CLIENT_EXECUTABLE MAKE_BUNDLE_SCRIPT OUT_DIR [BIG_TEXT_MIB]
// writes OUT_DIR/bundle/"Orvalune Client.app" and OUT_DIR/fixture.zip. With
// BIG_TEXT_MIB, the bundle also holds Contents/Resources/lines.txt: that many MiB of
// line-numbered text, which deflates to about a tenth (one more file, 553 entries).
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFolders = 142;
constexpr int kFiles = 354;
constexpr std::uint64_t kLargest = 9099856;
constexpr std::uint64_t kUnpacked = 48960805;
constexpr double kIncompressible = 0.302;  // share of random bytes: sets the zip ratio

std::uint64_t g_state = 0x9E3779B97F4A7C15ull;
std::uint64_t Next() {
  g_state ^= g_state << 13;
  g_state ^= g_state >> 7;
  g_state ^= g_state << 17;
  return g_state;
}

// Library-like content: a random part, then repetitive text.
void WriteContent(const fs::path& path, std::uint64_t size, unsigned mode) {
  std::string data;
  data.reserve(size);
  const auto random = static_cast<std::uint64_t>(size * kIncompressible);
  while (data.size() < random) {
    const std::uint64_t v = Next();
    data.append(reinterpret_cast<const char*>(&v), 8);
  }
  data.resize(random);
  for (std::uint64_t line = 0; data.size() < size; ++line) {
    data += "symbol_" + std::to_string(line % 977) + " = 0x" + std::to_string(Next() % 4096) +
            "; // relocation entry\n";
  }
  data.resize(size);
  std::ofstream(path, std::ios::binary) << data;
  ::chmod(path.c_str(), mode);
}

// Line-numbered text: each line its number and two words of a small vocabulary.
bool WriteLines(const fs::path& path, std::uint64_t size) {
  static const char* const kWords[] = {
      "alpha", "bravo", "cedar", "delta", "ember", "fjord", "grove", "harbour", "island", "juniper",
      "kestrel", "lantern", "meadow", "north", "orchard", "pebble", "quarry", "river", "stone",
      "timber", "upland", "valley", "willow", "yarrow", "zenith", "amber", "birch", "cobalt",
      "dune", "elm", "flint", "garnet"};
  std::ofstream out(path, std::ios::binary);
  std::string chunk;
  std::uint64_t written = 0;
  for (std::uint64_t line = 1; written < size; ++line) {
    const std::uint64_t v = Next();
    chunk += std::to_string(line) + ": the " + kWords[v % 32] + " entry of this benchmark text, near the " +
             kWords[(v >> 8) % 32] + "\n";
    if (chunk.size() >= (1u << 20) || written + chunk.size() >= size) {
      const std::uint64_t take = std::min<std::uint64_t>(chunk.size(), size - written);
      out.write(chunk.data(), static_cast<std::streamsize>(take));
      written += take;
      chunk.clear();
    }
  }
  return static_cast<bool>(out);
}

int Count(const fs::path& root, bool folders) {
  int n = folders ? 1 : 0;  // the top folder itself
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_symlink()) continue;
    if (folders ? e.is_directory() : e.is_regular_file()) ++n;
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::cerr << "usage: make_fixture CLIENT_EXECUTABLE MAKE_BUNDLE_SCRIPT OUT_DIR [BIG_TEXT_MIB]\n";
    return 2;
  }
  const std::uint64_t bigText = argc == 5 ? std::stoull(argv[4]) << 20 : 0;
  const fs::path out = argv[3];
  const fs::path bundle = out / "bundle" / "Orvalune Client.app";
  const fs::path archive = fs::absolute(out / "fixture.zip");
  fs::create_directories(out);
  const std::string make = std::string(argv[2]) + " '" + argv[1] + "' '" + (out / "bundle").string() +
                           "' '" + (out / "base.zip").string() + "'";
  if (std::system(make.c_str()) != 0) return 1;

  // Fill the bundle up to the shipped shape in Contents/Resources/data.
  const fs::path data = bundle / "Contents" / "Resources" / "data";
  int folders = Count(bundle, true);
  std::vector<fs::path> dirs;
  for (int i = 0; folders < kFolders; ++i, ++folders) {
    const fs::path dir = (i % 4 == 0 || dirs.empty()) ? data / ("set" + std::to_string(i))
                                                      : dirs.back() / ("part" + std::to_string(i));
    fs::create_directories(dir);
    if (i == 0) ++folders;  // "data" itself came with the first one
    dirs.push_back(dir);
  }
  int files = Count(bundle, false);
  std::uint64_t bytes = 0;
  for (const auto& e : fs::recursive_directory_iterator(bundle)) {
    if (e.is_regular_file() && !e.is_symlink()) bytes += e.file_size();
  }
  const int toAdd = kFiles - files;
  WriteContent(bundle / "Contents" / "Frameworks" / "QtCore.framework" / "Versions" / "5" / "QtCore",
               kLargest, 0644);
  bytes += kLargest;
  const std::uint64_t each = (kUnpacked - bytes) / static_cast<std::uint64_t>(toAdd);
  for (int i = 0; i < toAdd; ++i) {
    const std::uint64_t size = (i % 3 == 0) ? each / 4 : (i % 3 == 1) ? each : each * 7 / 4;
    WriteContent(dirs[static_cast<std::size_t>(i) % dirs.size()] / ("file" + std::to_string(i) + ".dylib"),
                 size, i < 52 ? 0755 : 0644);
  }
  if (bigText > 0 && !WriteLines(bundle / "Contents" / "Resources" / "lines.txt", bigText)) return 1;
  fs::remove(archive);
  const std::string zip = "cd '" + (out / "bundle").string() + "' && zip -qry '" + archive.string() +
                          "' 'Orvalune Client.app'";
  if (std::system(zip.c_str()) != 0) return 1;
  std::cout << archive.string() << ": " << Count(bundle, true) << " folders, "
            << Count(bundle, false) << " files, " << fs::file_size(archive) << " bytes\n";
  return 0;
}
