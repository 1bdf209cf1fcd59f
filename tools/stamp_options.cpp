#include "tools/stamp_options.h"

#include <algorithm>
#include <cctype>

#include "common/AddressCodec.h"
#include "common/Utf8.h"

namespace varnesk {
namespace stamp {

const char kUsage[] = R"(Usage:
  orvalune-stamp [SERVER] [OUTPUT] [SOURCE]       make one installer bundle
  orvalune-stamp --batch FILE [OUTPUT] [SOURCE]   one bundle per line of a CSV file
  orvalune-stamp --decode NAME|PATH|ZIP           what a bundle's name tells the installer
  orvalune-stamp --help | --version

Makes installer bundles whose folder name carries the server the installer uses:
BASE_V2<fields>.app, holding Contents/MacOS/OrvaluneInstaller. Renaming the folder
changes the server, so keep the name as it is written.

Server (all optional; zero or empty means "not given"):
  --ip A.B.C.D      server address (with --ods: the discovery service's address)
  --port N          server port 1-65535; 53100 when an address is given without one
  --id N            identifier 1-4294967295
  --ods             --ip is a discovery service: the client gets -odsaddress, no port
  --ip2 A.B.C.D     second address (counts only for the default port)
  --lflag           set the L flag
  --name BASE       base of the bundle name (default OrvaluneClient)

Output:
  --out DIR         folder that receives what is written (default: the current one)
  --zip             write BUNDLE.app.zip, ready to download, instead of the folder
  --force           replace bundles, zips and manifest.csv that exist already
  --dry-run         check everything, print what would be written, write nothing

Source (default: the installer of this build):
  --installer PATH  the installer executable to put into a new bundle, or an installer
                    bundle folder holding it (build-mac/OrvaluneInstaller.app)
  --from BUNDLE     a template bundle (signed once on a Mac), copied byte for byte;
                    only its folder name changes

Batch (--batch FILE, "-" for standard input):
  CSV with the header line  ip,port,id,ods,ip2,lflag,name  (any column order; missing
  columns and empty fields take the defaults; ods and lflag take 1/0, true/false,
  yes/no or empty). Every line is checked before anything is written; the first bad
  one is reported as FILE:LINE. Then one bundle or zip per line, and manifest.csv
  (line, bundle, file, decoded values, SHA-256 of the zip) last. A failure part way
  removes everything the run wrote.

Prints the path of each file it writes. Exit status: 0 done; 1 a write failed (and
what the run wrote is removed) or --decode found no valid address; 2 bad usage or
input (nothing written).
)";

std::string BundleName(const ServerFields& server) {
  std::string suffix;
  PutIpPortIntoString(server.ip, server.ip2, server.port, server.id, server.lFlag, suffix,
                      server.ods);
  return server.name + suffix + ".app";
}

namespace {

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

std::string Upper(const std::string& text) {
  std::string upper;
  utf8::ToUpper(text, upper);
  return upper;
}

// The longest base name whose zip name ("BASE" + the longest suffix + ".app.zip")
// still fits the 255 bytes a file name may have.
constexpr std::size_t kMaxBaseName = 200;

}  // namespace

std::uint32_t ParseAddress(const std::string& label, const std::string& text) {
  std::uint32_t address = 0;
  if (!ParseDottedQuad(text, address)) {
    throw UsageError{label + " " + text + ": not a dotted quad of four numbers 0-255"};
  }
  if (address == 0) throw UsageError{label + " 0.0.0.0: zero means no address"};
  return address;
}

std::uint16_t ParsePort(const std::string& label, const std::string& text) {
  std::uint64_t number = 0;
  if (!ParseDecimal(text, 65535, number)) throw UsageError{label + " " + text + ": not a port 1-65535"};
  return static_cast<std::uint16_t>(number);
}

std::uint32_t ParseId(const std::string& label, const std::string& text) {
  std::uint64_t number = 0;
  if (!ParseDecimal(text, 4294967295ull, number)) {
    throw UsageError{label + " " + text + ": not an identifier 1-4294967295"};
  }
  return static_cast<std::uint32_t>(number);
}

bool ParseFlag(const std::string& label, const std::string& text) {
  const std::string upper = Upper(text);
  if (upper.empty() || upper == "0" || upper == "FALSE" || upper == "NO") return false;
  if (upper == "1" || upper == "TRUE" || upper == "YES") return true;
  throw UsageError{label + " " + text + ": not 1/0, true/false, yes/no or empty"};
}

void CheckBaseName(const std::string& label, const std::string& name) {
  const bool control = std::any_of(name.begin(), name.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
  });
  if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos || control) {
    throw UsageError{label + " \"" + name + "\": not a file name"};
  }
  if (name.size() > kMaxBaseName) {
    throw UsageError{label + " \"" + name.substr(0, 20) + "...\": longer than " +
                     std::to_string(kMaxBaseName) + " bytes"};
  }
  const std::string upper = Upper(name);
  if (upper.find("_V") != std::string::npos) {
    throw UsageError{label + " \"" + name + "\" holds \"_V\": the installer would read the wrong suffix"};
  }
  if (upper.find(".APP") != std::string::npos) {
    throw UsageError{label + " \"" + name + "\" holds \".app\": the installer would cut its path there"};
  }
}

void CheckFields(const ServerFields& server, const std::string& prefix) {
  if (server.ods && server.ip == 0) {
    throw UsageError{prefix + "ods marks the " + prefix + "ip address; give " + prefix + "ip"};
  }
}

Options ParseCommandLine(const std::vector<std::string>& args) {
  Options o;
  bool serverGiven = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string a = args[i];
    std::string inlineValue;
    bool hasInline = false;
    const std::size_t eq = a.find('=');
    if (a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      a.erase(eq);
      hasInline = true;
    }
    auto value = [&]() -> std::string {
      if (hasInline) return inlineValue;
      if (i + 1 >= args.size()) throw UsageError{a + " needs a value"};
      return args[++i];
    };
    auto noValue = [&]() {
      if (hasInline) throw UsageError{a + " takes no value"};
    };
    if (a == "--help" || a == "-h") {
      o.mode = Mode::kHelp;
      return o;
    } else if (a == "--version") {
      o.mode = Mode::kVersion;
      return o;
    } else if (a == "--ip") {
      o.server.ip = ParseAddress(a, value());
      serverGiven = true;
    } else if (a == "--ip2") {
      o.server.ip2 = ParseAddress(a, value());
      serverGiven = true;
    } else if (a == "--port") {
      o.server.port = ParsePort(a, value());
      serverGiven = true;
    } else if (a == "--id") {
      o.server.id = ParseId(a, value());
      serverGiven = true;
    } else if (a == "--ods") {
      noValue();
      o.server.ods = serverGiven = true;
    } else if (a == "--lflag") {
      noValue();
      o.server.lFlag = serverGiven = true;
    } else if (a == "--name") {
      o.server.name = value();
      CheckBaseName(a, o.server.name);
      serverGiven = true;
    } else if (a == "--force") {
      noValue();
      o.force = true;
    } else if (a == "--zip") {
      noValue();
      o.zip = true;
    } else if (a == "--dry-run") {
      noValue();
      o.dryRun = true;
    } else if (a == "--out") {
      o.out = value();
    } else if (a == "--installer") {
      o.installer = value();
    } else if (a == "--from") {
      o.from = value();
    } else if (a == "--batch") {
      o.batch = value();
      o.mode = Mode::kBatch;
    } else if (a == "--decode") {
      o.decode = value();
      o.mode = Mode::kDecode;
    } else {
      throw UsageError{"unknown argument " + a + " (see --help)"};
    }
  }
  if (!o.batch.empty() && !o.decode.empty()) throw UsageError{"give --batch or --decode, not both"};
  if (o.mode == Mode::kBatch && serverGiven) {
    throw UsageError{"--batch takes the server values from its file, not from the command line"};
  }
  if (!o.installer.empty() && !o.from.empty()) throw UsageError{"give --installer or --from, not both"};
  if (o.mode == Mode::kStamp) CheckFields(o.server, "--");
  return o;
}

}  // namespace stamp
}  // namespace varnesk
