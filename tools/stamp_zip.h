#pragma once
// Downloadable zips of installer bundles: made with Info-ZIP, checked before they are
// shipped, and read back by --decode.
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "installer/ZipLayout.h"

namespace varnesk {
namespace stamp {

namespace fs = std::filesystem;

/// Info-ZIP's `zip` on PATH; empty when there is none.
std::string FindZipProgram();

/// Zips the folder `parent`/`name` into `parent`/`name`.zip with `zip -qry` (links kept
/// as links, modes kept), started without a shell and with zip's own option variables
/// cleared. Returns the zip's path; throws std::runtime_error with zip's reason.
fs::path ZipFolder(const std::string& zipProgram, const fs::path& parent, const std::string& name);

/// Every central-directory entry of the ZIP archive `archive`; throws std::runtime_error
/// for a file that is not one.
std::vector<zip::CentralEntry> ReadZipEntries(const fs::path& archive);

/// Checks that `archive` holds exactly the tree at `bundle`, under the bundle's folder
/// name: one entry per folder, file and link, each of the same kind and mode, and
/// nothing else (no absolute or ".." names, no "__MACOSX"). Throws std::runtime_error
/// naming the first entry that differs.
void VerifyBundleZip(const fs::path& archive, const fs::path& bundle);

/// The bundle folder a downloaded zip holds: its single top folder (a "__MACOSX" folder
/// that some zippers add is passed over), which must end in ".app" and hold an
/// executable Contents/MacOS/OrvaluneInstaller. False, with the reason in `error`, if not.
bool BundleFolderInZip(const std::vector<zip::CentralEntry>& entries, std::string& folder,
                       std::string& error);

/// True when `file` starts like a ZIP archive.
bool LooksLikeZip(const fs::path& file);

/// True when `file` starts with a Mach-O magic number (thin or universal).
bool IsMachO(const fs::path& file);

/// Lower-case hexadecimal SHA-256 of a file's bytes; throws std::runtime_error.
std::string Sha256OfFile(const fs::path& file);

}  // namespace stamp
}  // namespace varnesk
