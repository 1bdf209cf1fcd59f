#include "tools/stamp_batch.h"

#include <algorithm>
#include <array>
#include <map>

#include "common/AddressCodec.h"
#include "common/Utf8.h"
#include "installer/ClientInstallerBase.h"

namespace varnesk {
namespace stamp {
namespace {

enum Column { kIp, kPort, kId, kOds, kIp2, kLFlag, kName, kColumns };
const std::array<const char*, kColumns> kColumnNames = {"ip", "port", "id", "ods", "ip2", "lflag", "name"};

std::string Trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// For each column of the file, which field it is.
std::vector<Column> ReadHeader(const std::vector<std::string>& names) {
  std::vector<Column> columns;
  std::array<bool, kColumns> seen{};
  for (const std::string& raw : names) {
    const std::string name = Lower(raw);
    std::size_t c = 0;
    while (c < kColumns && name != kColumnNames[c]) ++c;
    if (c == kColumns) {
      throw UsageError{"unknown column \"" + raw + "\" (the header is ip,port,id,ods,ip2,lflag,name)"};
    }
    if (seen[c]) throw UsageError{"column \"" + name + "\" given twice"};
    seen[c] = true;
    columns.push_back(static_cast<Column>(c));
  }
  return columns;
}

ServerFields ReadServer(const std::vector<Column>& columns, const std::vector<std::string>& fields) {
  if (fields.size() != columns.size()) {
    auto count = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " field" : " fields"); };
    throw UsageError{count(fields.size()) + " where the header has " + count(columns.size())};
  }
  ServerFields server;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& text = fields[i];
    const std::string label = kColumnNames[columns[i]];
    switch (columns[i]) {
      case kIp: if (!text.empty()) server.ip = ParseAddress(label, text); break;
      case kPort: if (!text.empty()) server.port = ParsePort(label, text); break;
      case kId: if (!text.empty()) server.id = ParseId(label, text); break;
      case kOds: server.ods = ParseFlag(label, text); break;
      case kIp2: if (!text.empty()) server.ip2 = ParseAddress(label, text); break;
      case kLFlag: server.lFlag = ParseFlag(label, text); break;
      case kName: if (!text.empty()) { CheckBaseName(label, text); server.name = text; } break;
      case kColumns: break;
    }
  }
  CheckFields(server, "");
  return server;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos && Trim(text) == text) return text;
  std::string quoted = "\"";
  for (char c : text) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace

bool SplitCsvLine(const std::string& line, std::vector<std::string>& fields, std::string& error) {
  fields.clear();
  std::size_t pos = 0;
  for (;;) {
    std::string field;
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos < line.size() && line[pos] == '"') {
      for (++pos;; ++pos) {
        if (pos >= line.size()) {
          error = "a quoted field is not closed";
          return false;
        }
        if (line[pos] == '"') {
          if (pos + 1 < line.size() && line[pos + 1] == '"') {
            field += '"';
            ++pos;
          } else {
            break;
          }
        } else {
          field += line[pos];
        }
      }
      ++pos;
      while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
      if (pos < line.size() && line[pos] != ',') {
        error = "text after a quoted field";
        return false;
      }
    } else {
      const std::size_t end = std::min(line.find(',', pos), line.size());
      field = Trim(line.substr(pos, end - pos));
      if (field.find('"') != std::string::npos) {
        error = "a quote inside a field that does not start with one";
        return false;
      }
      pos = end;
    }
    fields.push_back(field);
    if (pos >= line.size()) return true;
    ++pos;  // the comma
  }
}

std::vector<BatchLine> ReadBatch(std::istream& in, const std::string& label) {
  std::vector<BatchLine> lines;
  std::vector<Column> columns;
  bool haveHeader = false;
  std::map<std::string, std::size_t> earlierOf;  // upper-cased bundle name -> index in `lines`
  std::string text;
  std::vector<std::string> fields;
  for (std::size_t number = 1; std::getline(in, text); ++number) {
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (number == 1 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a UTF-8 mark
    if (Trim(text).empty()) continue;
    const std::string where = label + ":" + std::to_string(number) + ": ";
    try {
      std::string error;
      if (!SplitCsvLine(text, fields, error)) throw UsageError{error};
      if (!haveHeader) {
        columns = ReadHeader(fields);
        haveHeader = true;
        continue;
      }
      BatchLine line;
      line.line = number;
      line.server = ReadServer(columns, fields);
      line.bundle = BundleName(line.server);
      std::string upper;
      utf8::ToUpper(line.bundle, upper);
      const auto found = earlierOf.find(upper);
      if (found != earlierOf.end()) {
        const BatchLine& earlier = lines[found->second];
        throw UsageError{"bundle name " + line.bundle + " is given by line " + std::to_string(earlier.line) +
                         (earlier.bundle == line.bundle ? " already"
                                                        : " already as " + earlier.bundle +
                                                              " (a Mac's disk holds them as one)")};
      }
      earlierOf.emplace(upper, lines.size());
      lines.push_back(line);
    } catch (const UsageError& e) {
      throw UsageError{where + e.message};
    }
  }
  if (in.bad()) throw UsageError{label + ": cannot be read"};
  if (!haveHeader) throw UsageError{label + ": empty; its first line must be the header ip,port,id,ods,ip2,lflag,name"};
  if (lines.empty()) throw UsageError{label + ": no server lines after the header"};
  return lines;
}

std::string ManifestText(const std::vector<ManifestRow>& rows) {
  std::string text = "line,bundle,file,ip,port,id,ods,ip2,lflag,sha256\n";
  for (const ManifestRow& row : rows) {
    std::uint32_t ip = 0, ip2 = 0, id = 0;
    std::uint16_t port = 0;
    bool lFlag = false, sFlag = false;
    GetIpPortFromString(row.bundle, ip, ip2, port, id, lFlag, sFlag);
    if ((ip != 0 || ip2 != 0) && port == 0) port = ClientInstallerBase::kDefaultPort;
    auto address = [](std::uint32_t a) { return a ? utf8::Uint32ToIpv4String(a) : std::string(); };
    auto number = [](std::uint32_t n) { return n ? std::to_string(n) : std::string(); };
    text += std::to_string(row.line) + "," + CsvField(row.bundle) + "," + CsvField(row.file) + "," +
            address(ip) + "," + number(port) + "," + number(id) + "," + (sFlag ? "1" : "0") + "," +
            address(ip2) + "," + (lFlag ? "1" : "0") + "," + row.sha256 + "\n";
  }
  return text;
}

}  // namespace stamp
}  // namespace varnesk
