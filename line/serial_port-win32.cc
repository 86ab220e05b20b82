// The serial port on Windows.
//
// For each text: open the port for reading and writing, shared with no one,
// synchronous; set the device control block explicitly to 9600 baud, 8
// data bits, no parity, 1 stop bit, binary, no flow control of either
// kind, DTR and RTS on; read it back to see it took; set a write timeout
// of 2 s plus the text's transmit time; write every byte (a short write is
// a stalled line); flush to the line; close.

#include <windows.h>

#include <cmath>
#include <cstdio>

#include "line/serial_port.h"

namespace fiskal {

std::string SystemPortDevice(std::uint8_t nPort) {
  return "\\\\.\\COM" + std::to_string(nPort);
}

namespace {

std::string OpenHint(DWORD err, std::uint8_t nPort) {
  switch (err) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return "no such port; check the port digit in fiskal.txt or set " +
             PortVariable(nPort) + " to the printer's port, e.g. \\\\.\\COM12";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return "access denied or port in use by another program";
    default:
      return {};
  }
}

bool Is9600Raw(const DCB& d) {
  return d.BaudRate == CBR_9600 && d.ByteSize == 8 && d.Parity == NOPARITY &&
         d.StopBits == ONESTOPBIT && d.fBinary && !d.fOutxCtsFlow && !d.fOutxDsrFlow &&
         !d.fOutX && !d.fInX && d.fDtrControl == DTR_CONTROL_ENABLE &&
         d.fRtsControl == RTS_CONTROL_ENABLE;
}

// Whether an open device is a communications device, and its settings.
bool IsCommPort(HANDLE port, DCB* settings) {
  *settings = DCB{};
  settings->DCBlength = sizeof *settings;
  return GetFileType(port) == FILE_TYPE_CHAR && GetCommState(port, settings);
}

constexpr const char* kNotACommPort = "not a serial port (the path is not a communications device)";

class WindowsSerialPort : public Port {
 public:
  WindowsSerialPort(std::uint8_t nPort, std::string device)
      : nPort_(nPort),
        device_(std::move(device)),
        where_("port " + std::to_string(nPort) + " (" + device_ + ")") {}

  Status Send(std::string_view text) override {
    HANDLE port = CreateFileA(device_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
      const DWORD err = GetLastError();
      return Status::FromWindowsError("cannot open", err, OpenHint(err, nPort_)).Context(where_);
    }
    Status status = SendOpen(port, text);
    if (!CloseHandle(port) && status.ok()) {
      status = Status::FromWindowsError("cannot close", GetLastError());
    }
    return status.Context(where_);
  }

 private:
  static Status SendOpen(HANDLE port, std::string_view text) {
    DCB settings{};
    if (!IsCommPort(port, &settings)) return Status::Error(kNotACommPort);
    settings.BaudRate = CBR_9600;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = FALSE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fTXContinueOnXoff = TRUE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fRtsControl = RTS_CONTROL_ENABLE;
    settings.fAbortOnError = FALSE;
    if (!SetCommState(port, &settings)) {
      return Status::FromWindowsError(std::string("cannot set line settings ") + kLineSettings,
                                      GetLastError());
    }
    DCB applied{};
    applied.DCBlength = sizeof applied;
    if (!GetCommState(port, &applied)) {
      return Status::FromWindowsError("cannot read line settings back", GetLastError());
    }
    if (!Is9600Raw(applied)) {
      return Status::Error(std::string("the port did not take the line settings ") +
                           kLineSettings + " binary without flow control");
    }

    const double limit = kLineTimeoutSeconds + TransmitSeconds(text.size());
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // never read; return at once
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(std::ceil(limit * 1000));
    if (!SetCommTimeouts(port, &timeouts)) {
      return Status::FromWindowsError("cannot set the write timeout", GetLastError());
    }

    std::size_t done = 0;
    while (done < text.size()) {
      DWORD n = 0;
      if (!WriteFile(port, text.data() + done, static_cast<DWORD>(text.size() - done), &n,
                     nullptr)) {
        return Status::FromWindowsError("cannot write", GetLastError());
      }
      if (n == 0) {
        return LineStalled(std::to_string(done) + " of " + std::to_string(text.size()) +
                               " bytes went out",
                           limit);
      }
      done += n;
    }
    if (!FlushFileBuffers(port)) {
      return Status::FromWindowsError("cannot flush the output to the line", GetLastError());
    }
    return Status::Ok();
  }

  std::uint8_t nPort_;
  std::string device_;
  std::string where_;
};

}  // namespace

std::string WhyPortCannotOpen(const std::string& device) {
  HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    return WindowsErrorText(GetLastError());
  }
  DCB settings{};
  const std::string why = IsCommPort(port, &settings) ? "" : kNotACommPort;
  CloseHandle(port);
  return why;
}

// The write timeout is kept by the system; the clock is not needed here.
std::unique_ptr<Port> NewSerialPort(std::uint8_t nPort, std::string device, Clock&) {
  return std::make_unique<WindowsSerialPort>(nPort, std::move(device));
}

}  // namespace fiskal
