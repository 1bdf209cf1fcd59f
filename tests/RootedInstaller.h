#pragma once
// The real ClientInstaller with its root install folder pointed at a folder of the
// caller's own, and its extraction seam opened (tests, fuzzers, benchmarks).
#include <string>
#include <utility>

#include "installer/mac/ClientInstaller.h"

namespace orvtest {

class RootedInstaller : public varnesk::ClientInstaller {
 public:
  explicit RootedInstaller(std::string rootDir = std::string()) : root(std::move(rootDir)) {}
  using ClientInstaller::InstallClientFilesFrom;

  /// Unpacks `payload` as the installation does and puts the result in place at once:
  /// the bundle ends up in the root folder, replacing whatever stood there.
  varnesk::Status InstallInPlace(const varnesk::PayloadView& payload) {
    varnesk::Status status = InstallClientFilesFrom(payload);
    if (status == varnesk::kStatusOk) status = PutStagedClientInPlace();
    m_staging.Discard();
    return status;
  }
  varnesk::StagedInstall& staging() { return m_staging; }

  varnesk::Status OSGetRootInstallDir(std::string& dir) override {
    dir = root;
    return varnesk::kStatusOk;
  }

  std::string root;
};

}  // namespace orvtest
