// check_macho: checks a macOS executable built on another system, without running it.
//
//   check_macho FILE slices ARCH...              universal, exactly these slices
//   check_macho FILE minos ARCH=VERSION...       each slice's minimum macOS version
//   check_macho FILE imports LIBRARY...          undefined symbols only from these
//   check_macho FILE signature [ARCH...]         signatures valid; these slices signed
//   check_macho FILE payload ARCHIVE INFO_H      the carried archive, as recorded
//
// Prints what it found, one line each, then "FAIL: ..." for each problem. Exit status
// 0 when the check passes, 1 when it fails, 2 for a wrong command line or a file
// that cannot be read or is not a Mach-O file.
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/MachOChecks.h"

namespace {

using varnesk::macho::CheckResult;

bool ReadBytes(const std::string& path, std::vector<std::uint8_t>& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

int Usage() {
  std::cerr << "usage: check_macho FILE slices ARCH... | minos ARCH=VERSION... | imports LIBRARY... |\n"
               "                   signature [ARCH...] | payload ARCHIVE PAYLOAD_INFO_H\n";
  return 2;
}

int Report(const CheckResult& result) {
  for (const std::string& note : result.notes) std::cout << "  " << note << "\n";
  for (const std::string& problem : result.problems) std::cout << "  FAIL: " << problem << "\n";
  return result.Passed() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string file = argv[1];
  const std::string check = argv[2];
  const std::vector<std::string> args(argv + 3, argv + argc);

  std::vector<std::uint8_t> bytes;
  varnesk::macho::Image image;
  std::string error;
  if (!ReadBytes(file, bytes)) {
    std::cerr << "check_macho: cannot read " << file << "\n";
    return 2;
  }
  if (!varnesk::macho::ReadImage(bytes, image, error)) {
    std::cerr << "check_macho: " << file << ": " << error << "\n";
    return 2;
  }

  if (check == "slices" && !args.empty()) return Report(varnesk::macho::CheckSlices(image, args));
  if (check == "imports" && !args.empty()) return Report(varnesk::macho::CheckImports(image, args));
  if (check == "signature") return Report(varnesk::macho::CheckCodeSignature(image, bytes, args));
  if (check == "minos" && !args.empty()) {
    std::map<std::string, std::string> minimum;
    for (const std::string& arg : args) {
      const std::size_t eq = arg.find('=');
      if (eq == std::string::npos) return Usage();
      minimum[arg.substr(0, eq)] = arg.substr(eq + 1);
    }
    return Report(varnesk::macho::CheckMinimumOs(image, minimum));
  }
  if (check == "payload" && args.size() == 2) {
    std::vector<std::uint8_t> archive;
    std::vector<std::uint8_t> header;
    varnesk::macho::PayloadRecord record;
    if (!ReadBytes(args[0], archive) || !ReadBytes(args[1], header)) {
      std::cerr << "check_macho: cannot read " << args[0] << " or " << args[1] << "\n";
      return 2;
    }
    if (!varnesk::macho::ParsePayloadRecord(std::string(header.begin(), header.end()), record, error)) {
      std::cerr << "check_macho: " << args[1] << ": " << error << "\n";
      return 2;
    }
    return Report(varnesk::macho::CheckPayload(image, bytes, record, archive));
  }
  return Usage();
}
