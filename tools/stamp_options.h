#pragma once
// orvalune-stamp's inputs: the values of one bundle name, and the command line.
#include <cstdint>
#include <string>
#include <vector>

namespace varnesk {
namespace stamp {

/// Bad input of any kind: the tool prints the one-line message and exits with 2,
/// having written nothing.
struct UsageError {
  std::string message;
};

/// The values one installer bundle's name carries. Zero means "not given".
struct ServerFields {
  std::uint32_t ip = 0;
  std::uint16_t port = 0;
  std::uint32_t id = 0;
  bool ods = false;
  std::uint32_t ip2 = 0;
  bool lFlag = false;
  std::string name = "OrvaluneClient";
};

/// The bundle's folder name: the base name, the address suffix and ".app".
std::string BundleName(const ServerFields& server);

// Parsers of single values. `label` names the value in the message of the UsageError
// they throw ("--port" on the command line, "port" in a batch file).

/// A dotted quad of four decimal numbers 0-255, not 0.0.0.0.
std::uint32_t ParseAddress(const std::string& label, const std::string& text);
/// A decimal port 1-65535.
std::uint16_t ParsePort(const std::string& label, const std::string& text);
/// A decimal identifier 1-4294967295.
std::uint32_t ParseId(const std::string& label, const std::string& text);
/// 1/0, true/false, yes/no (any case) or empty (false).
bool ParseFlag(const std::string& label, const std::string& text);
/// A base name the installer reads back unchanged: a plain file name, no "_V" (it would
/// take the suffix's place) and no ".app" (the installer would cut its path there).
void CheckBaseName(const std::string& label, const std::string& name);
/// Rules between fields: the S flag needs an address. `prefix` is "--" on the command line.
void CheckFields(const ServerFields& server, const std::string& prefix);

enum class Mode { kStamp, kBatch, kDecode, kHelp, kVersion };

struct Options {
  Mode mode = Mode::kStamp;
  ServerFields server;
  std::string out = ".";
  std::string installer;  // empty: the built installer
  std::string from;       // a template bundle, instead of the installer
  std::string batch;      // a CSV file, "-" for standard input
  std::string decode;
  bool force = false;
  bool zip = false;
  bool dryRun = false;
};

/// Reads the arguments after the program name. "--option value" and "--option=value"
/// are both accepted; --help and --version end the reading where they stand.
Options ParseCommandLine(const std::vector<std::string>& args);

/// The text --help prints.
extern const char kUsage[];

}  // namespace stamp
}  // namespace varnesk
