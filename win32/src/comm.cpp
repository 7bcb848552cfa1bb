// The comm functions of kernel32 as serial device controls, with the DCB <-> driver
// settings mapping and the BuildCommDCB text forms.
#include <cctype>
#include <cstring>
#include <string>

#include "kernel32_internal.h"
#include "machine_bridge.h"

namespace zelwin32 {
namespace {

constexpr DWORD Serial(DWORD function) { return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS); }
constexpr DWORD kSetBaudRate = Serial(1), kSetQueueSize = Serial(2), kSetLineControl = Serial(3),
                kSetBreakOn = Serial(4), kSetBreakOff = Serial(5), kImmediateChar = Serial(6),
                kSetTimeouts = Serial(7), kGetTimeouts = Serial(8), kSetDtr = Serial(9), kClrDtr = Serial(10),
                kResetDevice = Serial(11), kSetRts = Serial(12), kClrRts = Serial(13), kSetXoff = Serial(14),
                kSetXon = Serial(15), kGetWaitMask = Serial(16), kSetWaitMask = Serial(17),
                kWaitOnMask = Serial(18), kPurge = Serial(19), kGetBaudRate = Serial(20),
                kGetLineControl = Serial(21), kGetChars = Serial(22), kSetChars = Serial(23),
                kGetHandflow = Serial(24), kSetHandflow = Serial(25), kGetModemStatus = Serial(26),
                kGetCommStatus = Serial(27), kGetProperties = Serial(29);

// The driver's structures, as ntddser.h lays them out.
struct LineControl {
  BYTE StopBits, Parity, WordLength;
};
struct Chars {
  BYTE EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar;
};
struct Handflow {
  DWORD ControlHandShake, FlowReplace;
  LONG XonLimit, XoffLimit;
};
struct SerialStatus {
  DWORD Errors, HoldReasons, AmountInInQueue, AmountInOutQueue;
  BYTE EofReceived, WaitForImmediate;
};
static_assert(sizeof(LineControl) == 3 && sizeof(Chars) == 6 && sizeof(Handflow) == 16 && sizeof(SerialStatus) == 20);

// SERIAL_HANDFLOW bits.
constexpr DWORD kDtrControl = 0x01, kDtrHandshake = 0x02, kDtrMask = 0x03, kCtsHandshake = 0x08,
                kDsrHandshake = 0x10, kDsrSensitivity = 0x40, kErrorAbort = 0x80000000;
constexpr DWORD kAutoTransmit = 0x01, kAutoReceive = 0x02, kErrorChar = 0x04, kNullStripping = 0x08,
                kRtsControl = 0x40, kRtsHandshake = 0x80, kTransmitToggle = 0xC0, kRtsMask = 0xC0,
                kXoffContinue = 0x80000000;

struct Settings {
  DWORD baud = 0;
  LineControl line{};
  Handflow handflow{};
  Chars chars{};
};

BOOL ReadSettings(HANDLE file, Settings* s) {
  return DeviceControlOk(file, kGetBaudRate, nullptr, 0, &s->baud, sizeof s->baud) &&
         DeviceControlOk(file, kGetLineControl, nullptr, 0, &s->line, sizeof s->line) &&
         DeviceControlOk(file, kGetHandflow, nullptr, 0, &s->handflow, sizeof s->handflow) &&
         DeviceControlOk(file, kGetChars, nullptr, 0, &s->chars, sizeof s->chars);
}

// In kernel32's order; a step the driver refuses puts back what the earlier ones changed.
BOOL WriteSettings(HANDLE file, const Settings& s, const Settings* previous) {
  int done = 0;
  NTSTATUS status = SyncDeviceControl(file, kSetBaudRate, &s.baud, sizeof s.baud, nullptr, 0, nullptr);
  if (status >= 0 && ++done)
    status = SyncDeviceControl(file, kSetLineControl, &s.line, sizeof s.line, nullptr, 0, nullptr);
  if (status >= 0 && ++done)
    status = SyncDeviceControl(file, kSetHandflow, &s.handflow, sizeof s.handflow, nullptr, 0, nullptr);
  if (status >= 0 && ++done)
    status = SyncDeviceControl(file, kSetChars, &s.chars, sizeof s.chars, nullptr, 0, nullptr);
  if (status >= 0) return TRUE;
  if (previous) {
    if (done > 0) SyncDeviceControl(file, kSetBaudRate, &previous->baud, sizeof previous->baud, nullptr, 0, nullptr);
    if (done > 1) SyncDeviceControl(file, kSetLineControl, &previous->line, sizeof previous->line, nullptr, 0, nullptr);
    if (done > 2)
      SyncDeviceControl(file, kSetHandflow, &previous->handflow, sizeof previous->handflow, nullptr, 0, nullptr);
  }
  return FailWith(status);
}

void ToDcb(const Settings& s, DCB* dcb) {
  std::memset(dcb, 0, sizeof *dcb);
  dcb->DCBlength = sizeof(DCB);
  dcb->BaudRate = s.baud;
  dcb->fBinary = 1;
  dcb->fParity = s.line.Parity != NOPARITY;
  const DWORD control = s.handflow.ControlHandShake, flow = s.handflow.FlowReplace;
  dcb->fOutxCtsFlow = (control & kCtsHandshake) != 0;
  dcb->fOutxDsrFlow = (control & kDsrHandshake) != 0;
  dcb->fDtrControl = (control & kDtrMask) == kDtrHandshake ? DTR_CONTROL_HANDSHAKE
                     : (control & kDtrControl)             ? DTR_CONTROL_ENABLE
                                                           : DTR_CONTROL_DISABLE;
  dcb->fDsrSensitivity = (control & kDsrSensitivity) != 0;
  dcb->fTXContinueOnXoff = (flow & kXoffContinue) != 0;
  dcb->fOutX = (flow & kAutoTransmit) != 0;
  dcb->fInX = (flow & kAutoReceive) != 0;
  dcb->fErrorChar = (flow & kErrorChar) != 0;
  dcb->fNull = (flow & kNullStripping) != 0;
  switch (flow & kRtsMask) {
    case kRtsControl: dcb->fRtsControl = RTS_CONTROL_ENABLE; break;
    case kRtsHandshake: dcb->fRtsControl = RTS_CONTROL_HANDSHAKE; break;
    case kTransmitToggle: dcb->fRtsControl = RTS_CONTROL_TOGGLE; break;
    default: dcb->fRtsControl = RTS_CONTROL_DISABLE; break;
  }
  dcb->fAbortOnError = (control & kErrorAbort) != 0;
  dcb->XonLim = WORD(s.handflow.XonLimit);
  dcb->XoffLim = WORD(s.handflow.XoffLimit);
  dcb->ByteSize = s.line.WordLength;
  dcb->Parity = s.line.Parity;
  dcb->StopBits = s.line.StopBits;
  dcb->XonChar = char(s.chars.XonChar);
  dcb->XoffChar = char(s.chars.XoffChar);
  dcb->ErrorChar = char(s.chars.ErrorChar);
  dcb->EofChar = char(s.chars.EofChar);
  dcb->EvtChar = char(s.chars.EventChar);
}

// The bits a DCB has no say in (DCD handshake, break char, the rest) stay as they are.
Settings FromDcb(const DCB& dcb, const Settings& current) {
  Settings s = current;
  s.baud = dcb.BaudRate;
  s.line = {dcb.StopBits, dcb.Parity, dcb.ByteSize};
  DWORD control = current.handflow.ControlHandShake & ~(kDtrMask | kCtsHandshake | kDsrHandshake | kDsrSensitivity | kErrorAbort);
  if (dcb.fDtrControl == DTR_CONTROL_ENABLE) control |= kDtrControl;
  if (dcb.fDtrControl == DTR_CONTROL_HANDSHAKE) control |= kDtrHandshake;
  if (dcb.fOutxCtsFlow) control |= kCtsHandshake;
  if (dcb.fOutxDsrFlow) control |= kDsrHandshake;
  if (dcb.fDsrSensitivity) control |= kDsrSensitivity;
  if (dcb.fAbortOnError) control |= kErrorAbort;
  DWORD flow = current.handflow.FlowReplace &
               ~(kAutoTransmit | kAutoReceive | kErrorChar | kNullStripping | kRtsMask | kXoffContinue);
  if (dcb.fOutX) flow |= kAutoTransmit;
  if (dcb.fInX) flow |= kAutoReceive;
  if (dcb.fErrorChar) flow |= kErrorChar;
  if (dcb.fNull) flow |= kNullStripping;
  if (dcb.fTXContinueOnXoff) flow |= kXoffContinue;
  static const DWORD rts[] = {0, kRtsControl, kRtsHandshake, kTransmitToggle};
  flow |= rts[dcb.fRtsControl & 3];
  s.handflow = {control, flow, LONG(dcb.XonLim), LONG(dcb.XoffLim)};
  s.chars.XonChar = BYTE(dcb.XonChar);
  s.chars.XoffChar = BYTE(dcb.XoffChar);
  s.chars.ErrorChar = BYTE(dcb.ErrorChar);
  s.chars.EofChar = BYTE(dcb.EofChar);
  s.chars.EventChar = BYTE(dcb.EvtChar);
  return s;
}

// ---- BuildCommDCB ----------------------------------------------------------------------

std::string Lower(std::string text) {
  for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ParseStop(const std::string& v, BYTE* stop) {
  if (v == "1") *stop = ONESTOPBIT;
  else if (v == "1.5") *stop = ONE5STOPBITS;
  else if (v == "2") *stop = TWOSTOPBITS;
  else return false;
  return true;
}

bool ParseParity(const std::string& v, BYTE* parity) {
  static const char letters[] = "noems";
  if (v.size() != 1 || !std::strchr(letters, v[0])) return false;
  *parity = BYTE(std::strchr(letters, v[0]) - letters);
  return true;
}

bool ParseNumber(const std::string& v, DWORD* n) {
  if (v.empty() || v.size() > 9) return false;
  for (char c : v)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  *n = DWORD(std::stoul(v));
  return true;
}

// The mode command's two-digit baud abbreviations.
DWORD ModeBaud(DWORD n) {
  switch (n) {
    case 11: return 110;
    case 15: return 150;
    case 30: return 300;
    case 60: return 600;
    case 12: return 1200;
    case 24: return 2400;
    case 48: return 4800;
    case 96: return 9600;
    case 19: return 19200;
    default: return n;
  }
}

bool OnOff(const std::string& v, bool* on) {
  if (v == "on") *on = true;
  else if (v == "off") *on = false;
  else return false;
  return true;
}

bool Build(std::string def, DCB* dcb, COMMTIMEOUTS* timeouts) {
  def = Lower(def);
  // An optional "COMn:" in front, as the mode command takes it.
  size_t at = def.find_first_not_of(" \t");
  if (at == std::string::npos) return false;
  if (def.compare(at, 3, "com") == 0) {
    size_t end = at + 3;
    while (end < def.size() && std::isdigit(static_cast<unsigned char>(def[end]))) ++end;
    if (end < def.size() && def[end] == ':') ++end;
    def = def.substr(end);
  }
  DCB d = *dcb;
  COMMTIMEOUTS t = timeouts ? *timeouts : COMMTIMEOUTS{};
  // Flow control is off unless the text asks for it.
  d.fOutX = d.fInX = 0;
  d.fOutxCtsFlow = d.fOutxDsrFlow = 0;
  d.fDtrControl = DTR_CONTROL_ENABLE;
  d.fRtsControl = RTS_CONTROL_ENABLE;
  bool stopGiven = false;
  if (def.find('=') != std::string::npos) {
    size_t pos = 0;
    while (pos < def.size()) {
      while (pos < def.size() && (def[pos] == ' ' || def[pos] == '\t')) ++pos;
      if (pos >= def.size()) break;
      size_t end = def.find_first_of(" \t", pos);
      if (end == std::string::npos) end = def.size();
      const std::string item = def.substr(pos, end - pos);
      pos = end;
      const size_t eq = item.find('=');
      if (eq == std::string::npos) return false;
      const std::string key = item.substr(0, eq), value = item.substr(eq + 1);
      DWORD n = 0;
      bool on = false;
      if (key == "baud") {
        if (!ParseNumber(value, &n)) return false;
        d.BaudRate = ModeBaud(n);
      } else if (key == "parity") {
        if (!ParseParity(value, &d.Parity)) return false;
      } else if (key == "data") {
        if (!ParseNumber(value, &n) || n < 5 || n > 8) return false;
        d.ByteSize = BYTE(n);
      } else if (key == "stop") {
        if (!ParseStop(value, &d.StopBits)) return false;
        stopGiven = true;
      } else if (key == "to") {
        if (!OnOff(value, &on)) return false;
        t = COMMTIMEOUTS{};
        if (on) t.WriteTotalTimeoutConstant = 60000;
      } else if (key == "xon") {
        if (!OnOff(value, &on)) return false;
        d.fOutX = d.fInX = on;
      } else if (key == "odsr") {
        if (!OnOff(value, &on)) return false;
        d.fOutxDsrFlow = on;
      } else if (key == "octs") {
        if (!OnOff(value, &on)) return false;
        d.fOutxCtsFlow = on;
      } else if (key == "idsr") {
        if (!OnOff(value, &on)) return false;
        d.fDsrSensitivity = on;
      } else if (key == "dtr") {
        if (value == "hs") d.fDtrControl = DTR_CONTROL_HANDSHAKE;
        else if (OnOff(value, &on)) d.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
        else return false;
      } else if (key == "rts") {
        if (value == "hs") d.fRtsControl = RTS_CONTROL_HANDSHAKE;
        else if (value == "tg") d.fRtsControl = RTS_CONTROL_TOGGLE;
        else if (OnOff(value, &on)) d.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        else return false;
      } else {
        return false;
      }
    }
  } else {
    // "baud[,parity[,data[,stop[,x|p]]]]"; an empty field keeps its value.
    std::string fields[6];
    int count = 0;
    size_t start = 0;
    for (;;) {
      const size_t comma = def.find(',', start);
      if (count == 6) return false;
      std::string field = def.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      field.erase(0, field.find_first_not_of(" \t"));
      field.erase(field.find_last_not_of(" \t") + 1);
      fields[count++] = field;
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
    if (count > 5) return false;
    DWORD n = 0;
    if (fields[0].empty() || !ParseNumber(fields[0], &n)) return false;
    d.BaudRate = ModeBaud(n);
    if (!fields[1].empty() && !ParseParity(fields[1], &d.Parity)) return false;
    if (!fields[2].empty()) {
      if (!ParseNumber(fields[2], &n) || n < 5 || n > 8) return false;
      d.ByteSize = BYTE(n);
    }
    if (!fields[3].empty()) {
      if (!ParseStop(fields[3], &d.StopBits)) return false;
      stopGiven = true;
    }
    if (fields[4] == "x") {
      d.fOutX = d.fInX = 1;
    } else if (fields[4] == "p") {
      d.fOutxCtsFlow = d.fOutxDsrFlow = 1;
      d.fDtrControl = DTR_CONTROL_HANDSHAKE;
      d.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (!fields[4].empty()) {
      return false;
    }
  }
  // As the mode command: 110 baud takes two stop bits unless told otherwise.
  if (d.BaudRate == 110 && !stopGiven) d.StopBits = TWOSTOPBITS;
  d.fParity = d.Parity != NOPARITY;
  *dcb = d;
  if (timeouts) *timeouts = t;
  return true;
}

std::string Narrow(LPCWSTR text) {
  std::string narrow;
  for (; *text; ++text) narrow.push_back(*text < 0x80 ? char(*text) : '?');
  return narrow;
}

}  // namespace
}  // namespace zelwin32

using namespace zelwin32;

extern "C" {

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (!lpDCB) return FailWithError(ERROR_NOACCESS);
  Settings s;
  if (!ReadSettings(hFile, &s)) return FALSE;
  ToDcb(s, lpDCB);
  return TRUE;
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
  if (!lpDCB) return FailWithError(ERROR_NOACCESS);
  if ((lpDCB->fOutX || lpDCB->fInX) && lpDCB->XonChar == lpDCB->XoffChar) return FailWithError(ERROR_INVALID_PARAMETER);
  Settings current;
  if (!ReadSettings(hFile, &current)) return FALSE;
  return WriteSettings(hFile, FromDcb(*lpDCB, current), &current);
}

BOOL WINAPI BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!lpDef || !lpDCB) return FailWithError(ERROR_INVALID_PARAMETER);
  return Build(lpDef, lpDCB, lpCommTimeouts) ? TRUE : FailWithError(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!lpDef || !lpDCB) return FailWithError(ERROR_INVALID_PARAMETER);
  return Build(Narrow(lpDef), lpDCB, lpCommTimeouts) ? TRUE : FailWithError(ERROR_INVALID_PARAMETER);
}

BOOL WINAPI BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsA(lpDef, lpDCB, nullptr); }
BOOL WINAPI BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) { return BuildCommDCBAndTimeoutsW(lpDef, lpDCB, nullptr); }

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!lpCommTimeouts) return FailWithError(ERROR_NOACCESS);
  return DeviceControlOk(hFile, kGetTimeouts, nullptr, 0, lpCommTimeouts, sizeof *lpCommTimeouts);
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  if (!lpCommTimeouts) return FailWithError(ERROR_NOACCESS);
  return DeviceControlOk(hFile, kSetTimeouts, lpCommTimeouts, sizeof *lpCommTimeouts, nullptr, 0);
}

BOOL WINAPI GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  if (!lpEvtMask) return FailWithError(ERROR_NOACCESS);
  return DeviceControlOk(hFile, kGetWaitMask, nullptr, 0, lpEvtMask, sizeof *lpEvtMask);
}

BOOL WINAPI SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return DeviceControlOk(hFile, kSetWaitMask, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

BOOL WINAPI WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (!lpEvtMask) return FailWithError(ERROR_NOACCESS);
  DWORD returned = 0;
  // lpEvtMask is written when the wait ends, so it must outlive an overlapped wait.
  return DeviceIoControl(hFile, kWaitOnMask, nullptr, 0, lpEvtMask, sizeof *lpEvtMask,
                         lpOverlapped ? nullptr : &returned, lpOverlapped);
}

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SerialStatus status{};
  if (!DeviceControlOk(hFile, kGetCommStatus, nullptr, 0, &status, sizeof status)) return FALSE;
  if (lpErrors) {
    DWORD errors = 0;
    if (status.Errors & 0x01) errors |= CE_BREAK;
    if (status.Errors & 0x02) errors |= CE_FRAME;
    if (status.Errors & 0x04) errors |= CE_OVERRUN;
    if (status.Errors & 0x08) errors |= CE_RXOVER;
    if (status.Errors & 0x10) errors |= CE_RXPARITY;
    *lpErrors = errors;
  }
  if (lpStat) {
    std::memset(lpStat, 0, sizeof *lpStat);
    lpStat->fCtsHold = (status.HoldReasons & 0x01) != 0;
    lpStat->fDsrHold = (status.HoldReasons & 0x02) != 0;
    lpStat->fRlsdHold = (status.HoldReasons & 0x04) != 0;
    lpStat->fXoffHold = (status.HoldReasons & 0x08) != 0;
    lpStat->fXoffSent = (status.HoldReasons & 0x10) != 0;
    lpStat->fEof = status.EofReceived != 0;
    lpStat->fTxim = status.WaitForImmediate != 0;
    lpStat->cbInQue = status.AmountInInQueue;
    lpStat->cbOutQue = status.AmountInOutQueue;
  }
  return TRUE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return DeviceControlOk(hFile, kPurge, &dwFlags, sizeof dwFlags, nullptr, 0);
}

BOOL WINAPI EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  static const DWORD codes[] = {0, kSetXoff, kSetXon, kSetRts, kClrRts, kSetDtr, kClrDtr, kResetDevice, kSetBreakOn, kSetBreakOff};
  if (dwFunc < SETXOFF || dwFunc > CLRBREAK) return FailWithError(ERROR_INVALID_PARAMETER);
  return DeviceControlOk(hFile, codes[dwFunc], nullptr, 0, nullptr, 0);
}

BOOL WINAPI SetCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, SETBREAK); }
BOOL WINAPI ClearCommBreak(HANDLE hFile) { return EscapeCommFunction(hFile, CLRBREAK); }

BOOL WINAPI TransmitCommChar(HANDLE hFile, char cChar) {
  return DeviceControlOk(hFile, kImmediateChar, &cChar, 1, nullptr, 0);
}

BOOL WINAPI SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  const DWORD sizes[2] = {dwInQueue, dwOutQueue};
  return DeviceControlOk(hFile, kSetQueueSize, sizes, sizeof sizes, nullptr, 0);
}

BOOL WINAPI GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  if (!lpCommProp) return FailWithError(ERROR_NOACCESS);
  // A caller that marked the structure may offer room for provider data behind it.
  DWORD length = sizeof(COMMPROP);
  if (lpCommProp->dwProvSpec1 == COMMPROP_INITIALIZED && lpCommProp->wPacketLength > sizeof(COMMPROP))
    length = lpCommProp->wPacketLength;
  return DeviceControlOk(hFile, kGetProperties, nullptr, 0, lpCommProp, length);
}

BOOL WINAPI GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  if (!lpModemStat) return FailWithError(ERROR_NOACCESS);
  return DeviceControlOk(hFile, kGetModemStatus, nullptr, 0, lpModemStat, sizeof *lpModemStat);
}

BOOL WINAPI GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  if (!lpdwSize) return FailWithError(ERROR_INVALID_PARAMETER);
  if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
    *lpdwSize = sizeof(COMMCONFIG);
    return FailWithError(ERROR_INSUFFICIENT_BUFFER);
  }
  COMMPROP properties{};
  if (!GetCommProperties(hCommDev, &properties)) return FALSE;
  std::memset(lpCC, 0, sizeof *lpCC);
  if (!GetCommState(hCommDev, &lpCC->dcb)) return FALSE;
  lpCC->dwSize = sizeof(COMMCONFIG);
  lpCC->wVersion = 1;
  lpCC->dwProviderSubType = properties.dwProvSubType;
  *lpdwSize = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL WINAPI SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
  if (!lpCC || dwSize < sizeof(COMMCONFIG)) return FailWithError(ERROR_INVALID_PARAMETER);
  return SetCommState(hCommDev, &lpCC->dcb);
}

// The defaults the Ports class gives a new port, 9600,n,8,1 without flow control; the
// name must be a port of this machine.
BOOL WINAPI GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  if (!lpszName || !lpdwSize) return FailWithError(ERROR_INVALID_PARAMETER);
  std::u16string name;
  for (LPCSTR c = lpszName; *c && *c != ':'; ++c) name.push_back(char16_t(static_cast<unsigned char>(*c)));
  if (name.empty() || name.find(u'\\') != std::u16string::npos || !machine::DeviceExists(u"\\DosDevices\\" + name))
    return FailWithError(ERROR_FILE_NOT_FOUND);
  if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) {
    *lpdwSize = sizeof(COMMCONFIG);
    return FailWithError(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memset(lpCC, 0, sizeof *lpCC);
  lpCC->dwSize = sizeof(COMMCONFIG);
  lpCC->wVersion = 1;
  lpCC->dwProviderSubType = PST_RS232;
  DCB& dcb = lpCC->dcb;
  dcb.DCBlength = sizeof(DCB);
  dcb.fBinary = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  Build("9600,n,8,1", &dcb, nullptr);
  *lpdwSize = sizeof(COMMCONFIG);
  return TRUE;
}

BOOL WINAPI GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
  if (!lpszName) return FailWithError(ERROR_INVALID_PARAMETER);
  return GetDefaultCommConfigA(Narrow(lpszName).c_str(), lpCC, lpdwSize);
}

}  // extern "C"
