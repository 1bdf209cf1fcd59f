#pragma once
// Batch files (one server a line, CSV) and the manifest that reports a batch run.
#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include "tools/stamp_options.h"

namespace varnesk {
namespace stamp {

/// One checked line of a batch file.
struct BatchLine {
  std::size_t line = 0;  // in the file, the header being line 1
  ServerFields server;
  std::string bundle;  // BundleName(server)
};

/// Reads a whole batch file and checks every line: the header (the column names ip,
/// port, id, ods, ip2, lflag and name, in any order, each at most once), then one server
/// per line, each field as its command-line option takes it and empty for the default;
/// blank lines are skipped. No two lines may give the same bundle name, not even in
/// different case (a Mac's disk would hold them as one). Throws a UsageError
/// "LABEL:LINE: reason" for the first bad line; a file without server lines is bad too.
std::vector<BatchLine> ReadBatch(std::istream& in, const std::string& label);

/// Splits one CSV line into `fields`: commas separate; a field in double quotes may hold
/// commas and doubled quotes; unquoted fields lose surrounding blanks. False, with the
/// reason in `error`, for a quote left open or a quote inside an unquoted field.
bool SplitCsvLine(const std::string& line, std::vector<std::string>& fields, std::string& error);

/// One written bundle, for the manifest.
struct ManifestRow {
  std::size_t line = 0;
  std::string bundle;  // the bundle's folder name
  std::string file;    // what was written into the output folder: the folder or its zip
  std::string sha256;  // of the zip; empty for a folder
};

/// manifest.csv: a header, then per row the line, bundle, file, the values the
/// installer decodes from the bundle name (ip, port as it will be used, id, ods, ip2,
/// lflag; absent values empty, flags 1/0) and the zip's SHA-256.
std::string ManifestText(const std::vector<ManifestRow>& rows);

}  // namespace stamp
}  // namespace varnesk
