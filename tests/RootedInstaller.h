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

  varnesk::Status OSGetRootInstallDir(std::string& dir) override {
    dir = root;
    return varnesk::kStatusOk;
  }

  std::string root;
};

}  // namespace orvtest
