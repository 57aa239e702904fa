// Why a port could not be opened, found by asking the operating system
// directly after the driver's start-up failed: the driver only says that the
// open failed (status 2). One implementation per platform.
#pragma once

#include <string>

#include "zortw/zortw.h"

namespace zortw_host {

enum class PortProblem {
  None,         // the device opens here with these settings: cause unknown
  NoDevice,     // no such device
  Permission,   // permission denied
  InUse,        // another program holds it
  NotSerial,    // not a serial device
  LineRefused,  // the line settings are refused
  Other,        // any other error, named in the text
};

struct PortDiagnosis {
  PortProblem problem = PortProblem::None;
  std::string text;  // the cause and what to do, in words
};

PortDiagnosis DiagnosePort(const std::string& port, const ZorLineSettings& line);

}  // namespace zortw_host
