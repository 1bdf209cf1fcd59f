// Stand-in for the Orvalune client: accepts the client's options, says how it was
// started, and runs until it is terminated.
//
//   OrvaluneClient [-ip A.B.C.D -port N | -odsaddress A.B.C.D] [-identifyid N]
//
// How it was started (arguments and working directory) goes to the system log and,
// when ORVALUNE_CLIENT_REPORT_DIR names a folder, to "<pid>.txt" in it.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "platform/SystemLog.h"

namespace {

const std::set<std::string> kOptionsWithValue = {"-ip", "-port", "-odsaddress", "-identifyid"};

bool ValidArguments(const std::vector<std::string>& args, std::string& problem) {
  for (std::size_t i = 0; i < args.size(); i += 2) {
    if (kOptionsWithValue.count(args[i]) == 0) {
      problem = "unknown option " + args[i];
      return false;
    }
    if (i + 1 >= args.size()) {
      problem = "option " + args[i] + " has no value";
      return false;
    }
  }
  return true;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  return ::getcwd(buffer.data(), buffer.size()) != nullptr ? buffer.data() : "";
}

void WriteReport(const std::vector<std::string>& args, const std::string& cwd) {
  const char* dir = std::getenv("ORVALUNE_CLIENT_REPORT_DIR");
  if (dir == nullptr || dir[0] == '\0') return;
  const std::string path = std::string(dir) + "/" + std::to_string(::getpid()) + ".txt";
  std::ofstream report(path + ".tmp");
  report << "cwd " << cwd << "\n";
  for (const std::string& arg : args) report << "arg " << arg << "\n";
  report.close();
  ::rename((path + ".tmp").c_str(), path.c_str());  // readers never see half a report
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string problem;
  if (!ValidArguments(args, problem)) {
    ORV_LOG_ERROR("OrvaluneClient: %{public}s", problem.c_str());
    return 2;
  }
  const std::string cwd = CurrentDirectory();
  std::string line;
  for (const std::string& arg : args) line += " " + arg;
  ORV_LOG_INFO("OrvaluneClient started in %{public}s with:%{public}s", cwd.c_str(), line.c_str());
  WriteReport(args, cwd);
  for (;;) ::pause();  // until a signal ends the process
}
