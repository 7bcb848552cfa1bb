// The far end of a port's cable as a Linux pseudo-terminal: what the port transmits comes out
// of the terminal, and what a program writes into the terminal reaches the port's RxD at the
// line rate, in the line format that program set on its terminal. The device it stands for
// holds CTS, DSR and DCD up. For real-time runs only: it polls the terminal every millisecond
// of virtual time, so a machine with one plugged in is never idle.
#pragma once

#include <cstdint>
#include <string>

#include "adapter_model/cable.h"
#include "adapter_model/clock.h"
#include "adapter_model/wire.h"

extern "C" {
#include "pty_link.h"
}

namespace zelwin32 {

class PtyCable : public adapter_model::Cable {
 public:
  // Throws std::runtime_error when no terminal can be had.
  explicit PtyCable(adapter_model::Connector& port);
  ~PtyCable() override;

  const char* Path() const { return pty_.path; }
  uint64_t ToTerminal() const { return toTerminal_; }
  uint64_t FromTerminal() const { return fromTerminal_; }

 private:
  void OutputsChanged(adapter_model::Connector&) override {}
  void ConnectorGone(adapter_model::Connector& connector) override;
  void Poll();
  void ReadFormat();

  adapter_model::Connector* port_;
  PtyLink pty_;
  adapter_model::LineFormat format_;
  adapter_model::SerialLine line_;  // to the port's RxD
  adapter_model::Receiver receiver_;
  adapter_model::Alarm alarm_;
  adapter_model::VirtualTime lineFree_ = 0;
  int polls_ = 0;
  uint64_t toTerminal_ = 0;
  uint64_t fromTerminal_ = 0;
};

}  // namespace zelwin32
