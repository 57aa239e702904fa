// Windows: the port is opened as the serial layer opens it, and the system's
// error, or the refusal of the device control block, names the cause.
#include <windows.h>

#include <string>

#include "host/port_diagnosis.h"

namespace zortw_host {

PortDiagnosis DiagnosePort(const std::string& port, const ZorLineSettings& line) {
  if (port == "NUL") return {PortProblem::None, "the dummy port NUL opens whatever the settings"};
  const std::string path = port.rfind("\\\\.\\", 0) == 0 ? port : "\\\\.\\" + port;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return {PortProblem::NoDevice, "no such device: " + port +
                                         " does not exist (the Device Manager lists the COM "
                                         "ports under Ports (COM & LPT))"};
    }
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
      return {PortProblem::InUse,
              port +
                  " is in use by another program (access denied); close it, or use another "
                  "port"};
    }
    return {PortProblem::Other, port + ": system error " + std::to_string(error)};
  }
  PortDiagnosis result{PortProblem::None,
                       port + " opens here with these settings: the cause is unknown"};
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(handle, &dcb)) {
    result = {PortProblem::NotSerial, port + " is not a serial device"};
  } else {
    dcb.BaudRate = line.baudRate;
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    dcb.StopBits = static_cast<BYTE>(line.stopBits);
    dcb.Parity = static_cast<BYTE>(line.parity);
    dcb.fParity = line.parity != 0;
    if (!SetCommState(handle, &dcb)) {
      result = {PortProblem::LineRefused,
                "line settings refused: the device does not take " + std::to_string(line.baudRate) +
                    " baud, " + std::to_string(line.dataBits) + " data bits, stop-bit code " +
                    std::to_string(line.stopBits) + ", parity code " + std::to_string(line.parity) +
                    " (system error " + std::to_string(GetLastError()) + ")"};
    }
  }
  CloseHandle(handle);
  return result;
}

}  // namespace zortw_host
