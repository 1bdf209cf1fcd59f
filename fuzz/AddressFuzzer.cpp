// The bundle-name decoder never crashes, and whatever it decodes re-encodes to a name
// that decodes to the same values.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "common/AddressCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  std::uint32_t ip = 0, ip2 = 0, id = 0;
  std::uint16_t port = 0;
  bool lFlag = false, sFlag = false;
  if (varnesk::GetIpPortFromString(name, ip, ip2, port, id, lFlag, sFlag) != varnesk::kStatusOk) {
    if (ip || ip2 || port || id || lFlag || sFlag) std::abort();  // a failure clears everything
    return 0;
  }
  std::string suffix;
  varnesk::PutIpPortIntoString(ip, ip2, port, id, lFlag, suffix, sFlag);
  std::uint32_t ip_ = 0, ip2_ = 0, id_ = 0;
  std::uint16_t port_ = 0;
  bool lFlag_ = false, sFlag_ = false;
  if (varnesk::GetIpPortFromString("OrvaluneClient" + suffix + ".app", ip_, ip2_, port_, id_, lFlag_,
                                   sFlag_) != varnesk::kStatusOk) {
    std::abort();
  }
  // The S flag is only carried together with a first address.
  if (ip_ != ip || ip2_ != ip2 || port_ != port || id_ != id || lFlag_ != lFlag ||
      sFlag_ != (sFlag && ip != 0)) {
    std::abort();
  }
  return 0;
}
