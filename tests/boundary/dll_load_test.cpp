// zortw.dll as a host meets it: loaded by path from its own directory with
// only KARVEL.dll beside it, ZorMain found by its plain name and called with
// the standard calling convention, log lines arriving at KARVEL's err, and
// the version resource an administrator sees.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/records.h"
#include "tests/support/log_capture.h"

namespace {

std::string ProgramDirectory() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string text(path, length);
  return text.substr(0, text.find_last_of("\\/") + 1);
}

std::string DriverPath() {
  return ProgramDirectory() + "zortw.dll";
}

class LoadedDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryA(DriverPath().c_str());
    ASSERT_NE(module, nullptr) << DriverPath() << " error " << GetLastError();
    // GetProcAddress hands back a generic function pointer; go through void*
    // to the entry's real type.
    zorMain =
        reinterpret_cast<ZorMainFn>(reinterpret_cast<void*>(GetProcAddress(module, "ZorMain")));
    ASSERT_NE(zorMain, nullptr);
  }
  void TearDown() override {
    if (module != nullptr) {
      EXPECT_TRUE(FreeLibrary(module));
    }
  }

  HMODULE module = nullptr;
  ZorMainFn zorMain = nullptr;
};

// Calls fn(request) and reports how far the stack pointer moved: 0 when the
// callee removed its one argument (the standard calling convention), 4 when
// it left it for the caller. The stack pointer is restored either way.
int32_t CallAndMeasureStack(ZorMainFn fn, ZorRequest* request, int32_t* moved) {
  uint32_t before = 0;
  uint32_t after = 0;
  int32_t result = 0;
  asm volatile(
      "movl %%esp, %[before]\n\t"
      "pushl %[request]\n\t"
      "call *%[fn]\n\t"
      "movl %%esp, %[after]\n\t"
      "movl %[before], %%esp\n\t"
      : [before] "=&S"(before), [after] "=&D"(after), "=a"(result), [fn] "+c"(fn)
      : [request] "b"(request)
      : "edx", "memory", "cc");
  *moved = static_cast<int32_t>(before - after);
  return result;
}

int32_t __cdecl CallerCleansProbe(ZorRequest*) {
  return 5;
}
int32_t __stdcall CalleeCleansProbe(ZorRequest*) {
  return 6;
}

TEST(StackMeasure, TellsTheConventionsApart) {
  ZorRequest request{};
  int32_t moved = -1;
  const auto cdeclProbe = reinterpret_cast<ZorMainFn>(reinterpret_cast<void*>(&CallerCleansProbe));
  EXPECT_EQ(CallAndMeasureStack(cdeclProbe, &request, &moved), 5);
  EXPECT_EQ(moved, 4);
  EXPECT_EQ(CallAndMeasureStack(&CalleeCleansProbe, &request, &moved), 6);
  EXPECT_EQ(moved, 0);
}

TEST_F(LoadedDriver, ZorMainIsTheOnlyNameAndTakesStdcall) {
  EXPECT_EQ(GetProcAddress(module, "ZorMain@4"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "_ZorMain@4"), nullptr);
  EXPECT_EQ(GetProcAddress(module, "GetDriverInfo"), nullptr);

  DriverInfo info;
  std::memset(&info, 0xCD, sizeof info);
  ZorRequest request{nullptr, 14, 1, 0, &info};
  int32_t moved = -1;
  EXPECT_EQ(CallAndMeasureStack(zorMain, &request, &moved), 0);
  EXPECT_EQ(moved, 0) << "ZorMain left its argument on the stack";
  EXPECT_EQ(info.driverId, 70);
  EXPECT_STREQ(info.name, "TIWAY I");
  EXPECT_EQ(info.contextSize, 1470);
  EXPECT_EQ(info.infoValueA, 4);
  EXPECT_EQ(info.infoValueB, 3);
  EXPECT_EQ(info.defaultLine.baudRate, 19200);
  EXPECT_EQ(info.defaultLine.dataBits, 7);
  EXPECT_EQ(info.defaultLine.stopBits, 0);
  EXPECT_EQ(info.defaultLine.parity, 1);
  ASSERT_NE(info.banner, nullptr);
  EXPECT_EQ(std::strlen(info.banner), 379u);

  // A code without a command: refused, through the same entry.
  ZorRequest nothing{nullptr, 9, 1, 0, nullptr};
  EXPECT_NE(zorMain(&nothing), 0);
}

TEST_F(LoadedDriver, LogLinesReachTheHostsErr) {
  LogCapture log;
  std::vector<unsigned char> context(1470, 0);
  ColdStartParams params{};
  std::strcpy(params.portName, "COM97");  // no such port in the test prefix
  params.enabled = 3;
  params.readTimeout = 300;
  params.line = LineSettings{19200, 7, 0, 1};
  ZorRequest request{reinterpret_cast<PortContext*>(context.data()), 1, 7, 0, &params};
  EXPECT_EQ(zorMain(&request), 2);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"ZOR07: TW: ColdStart(): Fail to open COM97"});
  EXPECT_EQ(log.Levels(), std::vector<int>{32});
  PortContext loaded;
  std::memcpy(&loaded, context.data(), sizeof loaded);
  EXPECT_EQ(loaded.ready, 3u);
  EXPECT_EQ(loaded.portHandle, 0u);
}

std::string VersionString(const std::vector<char>& block, const char* name) {
  char* value = nullptr;
  UINT length = 0;
  const std::string key = std::string("\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length) ||
      value == nullptr) {
    return "<missing>";
  }
  return std::string(value);
}

TEST(DriverVersion, ResourceNamesTheProductAndVersion) {
  const std::string path = DriverPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u) << "no version resource in " << path;
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));

  EXPECT_EQ(VersionString(block, "ProductName"), "zortw");
  EXPECT_EQ(VersionString(block, "OriginalFilename"), "zortw.dll");
  EXPECT_EQ(VersionString(block, "FileVersion"), ZORTW_VERSION);
  EXPECT_EQ(VersionString(block, "ProductVersion"), ZORTW_VERSION);
  EXPECT_NE(VersionString(block, "FileDescription").find("zortw"), std::string::npos);

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_NE(fixed, nullptr);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));
  unsigned major = 0, minor = 0, patch = 0;
  ASSERT_EQ(std::sscanf(ZORTW_VERSION, "%u.%u.%u", &major, &minor, &patch), 3);
  EXPECT_EQ(fixed->dwFileVersionMS, (major << 16) | minor);
  EXPECT_EQ(fixed->dwFileVersionLS, patch << 16);
}

}  // namespace
