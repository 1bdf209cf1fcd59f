#include "TestSupport.h"
#include "common/Utf8.h"
#include "installer/mac/ClientInstaller.h"

namespace {

class LaunchInfoInstaller : public varnesk::ClientInstaller {
 public:
  void SetSFlag(bool on) { m_sFlag = on; }
};

TEST(LaunchInfo, ArgumentsForEachForm) {
  orvtest::TempDir tmp;
  orvtest::fs::create_directories(tmp.path() / "Desktop");
  orvtest::ScopedEnv home("HOME", tmp.str().c_str());
  const std::string exe = tmp.str() + "/Desktop/Orvalune Client.app/Contents/MacOS/OrvaluneClient";
  const std::uint32_t ip = 0xC0A80A05;  // 192.168.10.5
  struct Row {
    std::uint32_t ip, ip2;
    bool sFlag;
    std::uint16_t port;
    std::uint32_t id;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {0, 0, false, 0, 0, {}},
      {0, 0, true, 53100, 0, {}},
      {0, 0x0A000001, false, 53100, 7, {"-identifyid", "7"}},
      {ip, 0, false, 53100, 0, {"-ip", "192.168.10.5", "-port", "53100"}},
      {ip, 0, false, 53100, 7, {"-ip", "192.168.10.5", "-port", "53100", "-identifyid", "7"}},
      {ip, 0, true, 53100, 0, {"-odsaddress", "192.168.10.5"}},
      {ip, 0, true, 53100, 7, {"-odsaddress", "192.168.10.5", "-identifyid", "7"}},
      {0x0A000001, 0, false, 65535, 4294967295u,
       {"-ip", "10.0.0.1", "-port", "65535", "-identifyid", "4294967295"}},
      {0xFFFFFFFF, 0, false, 0, 0, {"-ip", "255.255.255.255", "-port", "0"}},
  };
  for (const Row& row : rows) {
    LaunchInfoInstaller installer;
    installer.SetSFlag(row.sFlag);
    std::string exePath = "stale";
    std::vector<std::string> args = {"kept"};
    EXPECT_OK(installer.OSGetLaunchInfo(row.ip, row.ip2, row.port, row.id, exePath, args));
    std::vector<std::string> expected = {"kept"};
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
    EXPECT_EQ(args, expected);
    EXPECT_EQ(exePath, exe);
  }
}

TEST(LaunchInfo, Formatters) {
  EXPECT_EQ(varnesk::utf8::Uint32ToIpv4String(0), "0.0.0.0");
  EXPECT_EQ(varnesk::utf8::Uint32ToIpv4String(0x0A000001), "10.0.0.1");
  EXPECT_EQ(varnesk::utf8::string_cast(static_cast<unsigned short>(65535)), "65535");
  EXPECT_EQ(varnesk::utf8::string_cast(4294967295u), "4294967295");
  EXPECT_EQ(varnesk::utf8::string_cast(0u), "0");
}

}  // namespace
