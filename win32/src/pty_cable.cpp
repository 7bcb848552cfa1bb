#include "pty_cable.h"

#include <cstring>
#include <stdexcept>

namespace zelwin32 {

using adapter_model::Now;
using adapter_model::VirtualTime;

namespace {
constexpr VirtualTime kPollPeriod = sim::kMillisecond;
// Characters are put on the line at most this far ahead, so that a rate change the terminal's
// program makes applies within a few characters.
constexpr VirtualTime kAhead = 2 * sim::kMillisecond;
}  // namespace

PtyCable::PtyCable(adapter_model::Connector& port)
    : port_(&port),
      receiver_([this] { return format_; },
                [this](const adapter_model::ReceivedFrame& frame) {
                  // A device that does not read in time loses what it missed, as a UART would.
                  if (PtyWrite(&pty_, &frame.value, 1) == 1) ++toTerminal_;
                }) {
  if (const int error = PtyOpen(&pty_)) throw std::runtime_error(std::string("no pseudo-terminal: ") + std::strerror(error));
  ReadFormat();
  Plug(port);
  port.ConnectRxd(&line_);
  adapter_model::ModemInputs inputs;
  inputs.cts = inputs.dsr = inputs.dcd = true;
  port.SetInputs(inputs);
  receiver_.Listen(&port.Txd());
  lineFree_ = Now();
  alarm_.After(kPollPeriod, [this] { Poll(); });
}

PtyCable::~PtyCable() {
  alarm_.Cancel();
  receiver_.Listen(nullptr);
  UnplugAll();
  PtyClose(&pty_);
}

void PtyCable::ConnectorGone(adapter_model::Connector&) {
  alarm_.Cancel();
  receiver_.Listen(nullptr);
  port_ = nullptr;
}

void PtyCable::ReadFormat() {
  PtySettings settings;
  if (PtyGetSettings(&pty_, &settings) != 0 || settings.baud == 0) return;
  format_.baud = uint32_t(settings.baud);
  format_.dataBits = uint8_t(settings.dataBits);
  format_.parity = settings.parity == 'O'   ? adapter_model::Parity::Odd
                   : settings.parity == 'E' ? adapter_model::Parity::Even
                                            : adapter_model::Parity::None;
  format_.stopBits = settings.stopBits == 2 ? adapter_model::StopBits::Two : adapter_model::StopBits::One;
}

void PtyCable::Poll() {
  if (!port_) return;
  if (++polls_ % 50 == 0) ReadFormat();
  const VirtualTime now = Now();
  if (lineFree_ <= now) lineFree_ = now + 1;
  const VirtualTime frame = format_.FrameTime();
  const VirtualTime room = now + kAhead - lineFree_;
  if (room > 0 && frame > 0) {
    unsigned char buffer[256];
    size_t want = size_t(room / frame) + 1;
    if (want > sizeof buffer) want = sizeof buffer;
    const long got = PtyRead(&pty_, buffer, want);
    for (long i = 0; i < got; ++i) {
      lineFree_ = line_.DriveFrame(lineFree_, format_, buffer[i]);
      ++fromTerminal_;
    }
  }
  alarm_.After(kPollPeriod, [this] { Poll(); });
}

}  // namespace zelwin32
