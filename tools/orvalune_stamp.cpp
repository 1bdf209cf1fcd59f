// orvalune-stamp: makes an installer bundle for a server, or reads one's name back.
//
//   orvalune-stamp [--ip A.B.C.D] [--port N] [--id N] [--ods] [--ip2 A.B.C.D] [--lflag]
//                  [--name BASE] [--out DIR] [--force] [--installer PATH]
//   orvalune-stamp --decode NAME_OR_PATH
//
// The bundle's name is BASE followed by the address suffix and ".app"; it holds the
// built installer as Contents/MacOS/OrvaluneInstaller and an Info.plist. --installer
// names the installer executable, or a bundle folder that holds it (the macOS build's
// build-mac/OrvaluneInstaller.app); it is copied byte for byte, so a code signature
// inside stays valid.
// Bad input: a message on standard error, exit status 2, nothing written.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "common/AddressCodec.h"
#include "common/Utf8.h"
#include "installer/InstallerMain.h"
#include "installer/mac/ClientInstaller.h"

namespace fs = std::filesystem;

namespace {

constexpr int kUsageError = 2;

struct Options {
  std::uint32_t ip = 0;
  std::uint32_t ip2 = 0;
  std::uint16_t port = 0;
  std::uint32_t id = 0;
  bool ods = false;
  bool lFlag = false;
  bool haveIp = false;
  bool force = false;
  std::string name = "OrvaluneClient";
  std::string out = ".";
  std::string installer = ORVALUNE_DEFAULT_INSTALLER;
  std::string decode;
};

struct UsageError {
  std::string message;
};

bool ParseDottedQuad(const std::string& text, std::uint32_t& address) {
  std::uint32_t value = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    const std::size_t start = pos;
    unsigned octet = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) &&
           pos - start < 3) {
      octet = octet * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    if (pos == start || octet > 255) return false;
    value = (value << 8) | octet;
  }
  if (pos != text.size()) return false;
  address = value;
  return true;
}

bool ParseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
  if (text.empty() || text.size() > 10) return false;
  value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value >= 1 && value <= limit;
}

std::uint32_t AddressArg(const std::string& option, const std::string& text) {
  std::uint32_t address = 0;
  if (!ParseDottedQuad(text, address)) {
    throw UsageError{option + " " + text + ": not a dotted quad of four numbers 0-255"};
  }
  if (address == 0) throw UsageError{option + " 0.0.0.0: zero means no address"};
  return address;
}

Options Parse(int argc, char** argv) {
  Options o;
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
      return args[++i];
    };
    std::uint64_t number = 0;
    if (a == "--ip") {
      o.ip = AddressArg(a, value());
      o.haveIp = true;
    } else if (a == "--ip2") {
      o.ip2 = AddressArg(a, value());
    } else if (a == "--port") {
      const std::string& v = value();
      if (!ParseDecimal(v, 65535, number)) throw UsageError{"--port " + v + ": not a port 1-65535"};
      o.port = static_cast<std::uint16_t>(number);
    } else if (a == "--id") {
      const std::string& v = value();
      if (!ParseDecimal(v, 4294967295ull, number)) {
        throw UsageError{"--id " + v + ": not an identifier 1-4294967295"};
      }
      o.id = static_cast<std::uint32_t>(number);
    } else if (a == "--ods") {
      o.ods = true;
    } else if (a == "--lflag") {
      o.lFlag = true;
    } else if (a == "--force") {
      o.force = true;
    } else if (a == "--name") {
      o.name = value();
    } else if (a == "--out") {
      o.out = value();
    } else if (a == "--installer") {
      o.installer = value();
    } else if (a == "--decode") {
      o.decode = value();
    } else {
      throw UsageError{"unknown argument " + a};
    }
  }
  if (o.ods && !o.haveIp) throw UsageError{"--ods marks the --ip address; give --ip"};
  std::string upper;
  varnesk::utf8::ToUpper(o.name, upper);
  if (o.name.empty() || o.name.find('/') != std::string::npos) {
    throw UsageError{"--name \"" + o.name + "\": not a file name"};
  }
  if (upper.find("_V") != std::string::npos) {
    throw UsageError{"--name \"" + o.name + "\" holds \"_V\": the installer would read the wrong suffix"};
  }
  if (upper.find(".APP") != std::string::npos) {
    throw UsageError{"--name \"" + o.name + "\" holds \".app\": the installer would cut its path there"};
  }
  return o;
}

// The launch arguments come from the installer's own rule, for the current user.
class CommandLinePreview : public varnesk::ClientInstaller {
 public:
  std::string Describe(std::uint32_t ip, std::uint32_t ip2, std::uint16_t port, std::uint32_t id,
                       bool sFlag) {
    m_sFlag = sFlag;
    std::string exe;
    std::vector<std::string> args;
    OSGetLaunchInfo(ip, ip2, port, id, exe, args);
    std::string line = "\"" + exe + "\"";
    for (const std::string& arg : args) line += " " + arg;
    return line;
  }
};

int Decode(const std::string& nameOrPath) {
  const std::string bundle = varnesk::InstallerBundlePath(nameOrPath);
  std::uint32_t ip = 0, ip2 = 0, id = 0;
  std::uint16_t port = 0;
  bool lFlag = false, sFlag = false;
  if (varnesk::GetIpPortFromString(bundle, ip, ip2, port, id, lFlag, sFlag) != varnesk::kStatusOk) {
    std::string upper;
    varnesk::utf8::ToUpper(bundle, upper);
    const std::size_t v = upper.rfind("_V");
    const bool hasVersion = v != std::string::npos && v + 2 < upper.size() &&
                            std::isdigit(static_cast<unsigned char>(upper[v + 2]));
    std::cout << bundle << ": carries no valid address: "
              << (hasVersion ? "a field after the last \"_V\" is cut short or given twice"
                             : "no \"_V\" followed by a version number")
              << "\nThe installer would start the client without address options.\n";
    return 1;
  }
  if ((ip != 0 || ip2 != 0) && port == 0) port = varnesk::ClientInstallerBase::kDefaultPort;
  using varnesk::utf8::Uint32ToIpv4String;
  std::cout << "ip      " << (ip ? Uint32ToIpv4String(ip) : "none") << "\n"
            << "ip2     " << (ip2 ? Uint32ToIpv4String(ip2) : "none") << "\n"
            << "port    " << port << "\n"
            << "id      " << id << "\n"
            << "sflag   " << (sFlag ? "yes (discovery service)" : "no") << "\n"
            << "lflag   " << (lFlag ? "yes" : "no") << "\n"
            << "command " << CommandLinePreview().Describe(ip, ip2, port, id, sFlag) << "\n";
  return 0;
}

const char kInfoPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>CFBundleIdentifier</key><string>com.orvalune.installer</string>
	<key>CFBundleExecutable</key><string>OrvaluneInstaller</string>
	<key>CFBundleName</key><string>Orvalune Installer</string>
	<key>CFBundlePackageType</key><string>APPL</string>
	<key>CFBundleShortVersionString</key><string>3.5.11296</string>
	<key>LSUIElement</key><true/>
</dict>
</plist>
)";

// The executable that --installer names: the path itself, or the installer inside a
// bundle folder.
fs::path InstallerExecutable(const std::string& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return fs::path(path) / "Contents" / "MacOS" / "OrvaluneInstaller";
  return path;
}

int Stamp(const Options& o) {
  std::string suffix;
  varnesk::PutIpPortIntoString(o.ip, o.ip2, o.port, o.id, o.lFlag, suffix, o.ods);
  const fs::path out(o.out);
  const fs::path bundle = out / (o.name + suffix + ".app");
  std::error_code ec;
  if (!fs::is_directory(out, ec)) throw UsageError{"--out " + o.out + ": not a folder"};
  const fs::path installer = InstallerExecutable(o.installer);
  if (!fs::is_regular_file(installer, ec)) {
    throw UsageError{"installer " + installer.string() + " not found (build it, or give --installer)"};
  }
  if (fs::exists(fs::symlink_status(bundle, ec)) && !o.force) {
    throw UsageError{bundle.string() + " already exists (give --force to replace it)"};
  }

  // Built beside its final place and renamed in one step: never half a bundle.
  const fs::path staging = out / (".stamp-" + std::to_string(::getpid()) + ".app");
  fs::remove_all(staging, ec);
  try {
    fs::create_directories(staging / "Contents" / "MacOS");
    fs::copy_file(installer, staging / "Contents" / "MacOS" / "OrvaluneInstaller");
    fs::permissions(staging / "Contents" / "MacOS" / "OrvaluneInstaller",
                    static_cast<fs::perms>(0755));
    std::ofstream plist(staging / "Contents" / "Info.plist");
    plist << kInfoPlist;
    plist.close();
    if (!plist) throw fs::filesystem_error("cannot write Info.plist", std::error_code());
    if (o.force) fs::remove_all(bundle);
    fs::rename(staging, bundle);
  } catch (const std::exception& e) {
    fs::remove_all(staging, ec);
    std::cerr << "orvalune-stamp: " << e.what() << "\n";
    return 1;
  }
  std::cout << bundle.string() << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const Options options = Parse(argc, argv);
    if (!options.decode.empty()) return Decode(options.decode);
    return Stamp(options);
  } catch (const UsageError& e) {
    std::cerr << "orvalune-stamp: " << e.message << "\n";
    return kUsageError;
  }
}
