#pragma once
// Names the installer, its build-time archive check and its tests agree on.

namespace varnesk {

/// The client bundle: the archive's single top folder and the installed folder's name.
constexpr const char* kClientBundleName = "Orvalune Client.app";
/// Executable folder inside a bundle, with both separators.
constexpr const char* kExecutableFolder = "/Contents/MacOS/";
/// The client's executable name, without the platform's executable suffix.
constexpr const char* kClientExeName = "OrvaluneClient";

}  // namespace varnesk
