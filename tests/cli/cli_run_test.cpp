// The real tiway binary against the real driver library beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

std::string BinDir() {
#if defined(_WIN32)
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, n);
  return text.substr(0, text.find_last_of("\\/"));
#else
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string text(path, n > 0 ? static_cast<size_t>(n) : 0);
  return text.substr(0, text.rfind('/'));
#endif
}

struct Output {
  int exitCode;
  std::string text;  // stdout and stderr
};

// env: assignments for tiway's environment ("PATH=/x"), Linux only.
Output RunTiway(const std::string& args, const std::string& env = "") {
#if defined(_WIN32)
  (void)env;  // no environment assignments under Windows' shell
  std::string command = "\"\"" + BinDir() + "\\tiway.exe\" " + args + " 2>&1\"";
  FILE* pipe = _popen(command.c_str(), "r");
#else
  std::string command =
      (env.empty() ? "" : "env " + env + " ") + "'" + BinDir() + "/tiway' " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
#endif
  Output output{-1, ""};
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.text.append(buffer, n);
#if defined(_WIN32)
  output.exitCode = _pclose(pipe);
#else
  int status = pclose(pipe);
  output.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  return output;
}

TEST(TiwayBinary, InfoNamesTheDriverAndItsContextSize) {
  Output info = RunTiway("info");
  EXPECT_EQ(info.exitCode, 0) << info.text;
  EXPECT_NE(info.text.find("TIWAY I"), std::string::npos) << info.text;
  EXPECT_NE(info.text.find("1470"), std::string::npos) << info.text;

  Output json = RunTiway("info --json");
  EXPECT_EQ(json.exitCode, 0) << json.text;
  EXPECT_NE(json.text.find("\"name\":\"TIWAY I\""), std::string::npos) << json.text;
  EXPECT_NE(json.text.find("\"contextSize\":1470"), std::string::npos) << json.text;
}

TEST(TiwayBinary, BadInputGivesItsExitCodeAndTheRule) {
  Output point = RunTiway("read 01Z0001 --port NUL");
  EXPECT_EQ(point.exitCode, 2) << point.text;
  EXPECT_NE(point.text.find("type letter"), std::string::npos) << point.text;

  Output usage = RunTiway("read 01V0001 --polls x");
  EXPECT_EQ(usage.exitCode, 1) << usage.text;

  Output driver = RunTiway("info --driver no-such-driver-library");
  EXPECT_EQ(driver.exitCode, 3) << driver.text;
  EXPECT_NE(driver.text.find("cannot load the driver"), std::string::npos) << driver.text;
}

TEST(TiwayBinary, MistakesAreReportedInJsonWhenAskedAndPortFailuresNameTheirCause) {
  Output usage = RunTiway("--json read");
  EXPECT_EQ(usage.exitCode, 1) << usage.text;
  EXPECT_EQ(usage.text.rfind("{\"operation\":\"usage\",\"point\":\"\",\"count\":0,\"ok\":false", 0),
            0u)
      << usage.text;
  EXPECT_NE(usage.text.find("\"exitCode\":1,"), std::string::npos) << usage.text;
  EXPECT_EQ(RunTiway("read 05V0064 --polls 3 --port NUL").exitCode, 1);
#if !defined(_WIN32)
  // plot on a machine without gnuplot says so, and how to get it.
  const std::string csv = ::testing::TempDir() + "tiway-run-plot.csv";
  if (FILE* file = std::fopen(csv.c_str(), "w")) {
    std::fputs("time,point,value,status\n2026-01-01T00:00:00.000,05V0064,1,0\n", file);
    std::fclose(file);
  }
  Output noGnuplot = RunTiway("plot '" + csv + "'", "PATH=/nonexistent");
  EXPECT_EQ(noGnuplot.exitCode, 1) << noGnuplot.text;
  EXPECT_NE(noGnuplot.text.find("gnuplot is not installed"), std::string::npos) << noGnuplot.text;
  EXPECT_NE(noGnuplot.text.find("apt install gnuplot-nox"), std::string::npos) << noGnuplot.text;
  EXPECT_EQ(noGnuplot.text.find("not found"), std::string::npos) << noGnuplot.text;
  Output missing = RunTiway("read 05V0064 --port /nonexist/x");
  EXPECT_EQ(missing.exitCode, 4) << missing.text;
  EXPECT_NE(missing.text.find("cannot open port /nonexist/x: no such device"), std::string::npos)
      << missing.text;
#endif
}

}  // namespace
