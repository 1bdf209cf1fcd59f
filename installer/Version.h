#pragma once
// Release constants of the product's four components. The installer announces the
// client release as kVersionMajor.kVersionMinor.kVersionBuild.

namespace varnesk {
namespace orvalune {

constexpr const char* ORVALUNE_SERVER_VERSION = "3.5.11296";
constexpr const char* ORVALUNE_SERVER_DATE = "2018-12-11";
constexpr const char* ORVALUNE_SERVER_BUILD = "11296";
constexpr const char* ORVALUNE_CLIENT_VERSION = "3.5.11296";
constexpr const char* ORVALUNE_CLIENT_DATE = "2018-12-11";
constexpr const char* ORVALUNE_CLIENT_BUILD = "11296";
constexpr const char* ORVALUNE_DASHBOARD_VERSION = "3.5.11296";
constexpr const char* ORVALUNE_DASHBOARD_DATE = "2018-12-11";
constexpr const char* ORVALUNE_DASHBOARD_BUILD = "11296";
constexpr const char* ORVALUNE_DISCOVERY_SERVICE_VERSION = "3.5.11296";
constexpr const char* ORVALUNE_DISCOVERY_SERVICE_DATE = "2018-12-11";
constexpr const char* ORVALUNE_DISCOVERY_SERVICE_BUILD = "11296";

constexpr int kVersionMajor = 3;
constexpr int kVersionMinor = 5;
constexpr int kVersionBuild = 11296;

}  // namespace orvalune
}  // namespace varnesk
