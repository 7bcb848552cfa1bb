// What can be plugged into a port: the port's connector, and the cables a test can plug in.
// A port with nothing plugged in transmits into the void and sees every modem input off.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "adapter_model/wire.h"

namespace adapter_model {

struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool dcd = false;
  bool ri = false;
  bool operator==(const ModemInputs&) const = default;
};

class Cable;

// A port's 9-pin connector (the adapter is the DTE): the port drives TxD, RTS and DTR;
// whatever is plugged in drives RxD, CTS, DSR, DCD and RI.
class Connector {
 public:
  explicit Connector(std::string name) : name_(std::move(name)) {}
  ~Connector();
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  const std::string& Name() const { return name_; }

  // ---- The port's side
  SerialLine& Txd() { return txd_; }
  bool Rts() const { return rts_; }
  bool Dtr() const { return dtr_; }
  void SetOutputs(bool rts, bool dtr);
  SerialLine* Rxd() const { return rxd_; }
  const ModemInputs& Inputs() const { return inputs_; }
  // Set by the port's owner to follow what the cable does.
  std::function<void()> onRxdChanged;
  std::function<void(const ModemInputs& before)> onInputsChanged;

  // ---- The cable's side
  Cable* PluggedCable() const { return cable_; }
  void ConnectRxd(SerialLine* line);
  void SetInputs(const ModemInputs& inputs);

 private:
  friend class Cable;
  std::string name_;
  SerialLine txd_;
  bool rts_ = false;
  bool dtr_ = false;
  SerialLine* rxd_ = nullptr;
  ModemInputs inputs_;
  Cable* cable_ = nullptr;
};

// Base of everything that plugs into connectors. A cable unplugs itself when destroyed; a
// connector that goes away (its adapter destroyed) leaves the cable dead at that end.
class Cable {
 public:
  virtual ~Cable();
  Cable(const Cable&) = delete;
  Cable& operator=(const Cable&) = delete;

 protected:
  Cable() = default;
  // Throws std::logic_error when the connector already has a cable.
  void Plug(Connector& connector);
  void UnplugAll();
  bool Plugged(const Connector* connector) const;

  // A plugged connector's RTS or DTR changed.
  virtual void OutputsChanged(Connector& connector) = 0;
  // A plugged connector is being destroyed; it is already unplugged.
  virtual void ConnectorGone(Connector& connector) = 0;

 private:
  friend class Connector;
  void Release(Connector& connector);
  std::vector<Connector*> connectors_;
};

// A test plug: TxD to RxD, RTS to CTS, DTR to DSR and DCD; RI open or wired to an output.
enum class RingWiring { Open, FromDtr, FromRts };

class LoopbackPlug : public Cable {
 public:
  explicit LoopbackPlug(Connector& port, RingWiring ring = RingWiring::Open);
  ~LoopbackPlug() override;

 private:
  void OutputsChanged(Connector& connector) override;
  void ConnectorGone(Connector& connector) override;
  void Wire();

  Connector* port_;
  RingWiring ring_;
};

// A full-handshake null-modem cable between two ports (of one adapter or of two): each
// side's TxD to the other's RxD, RTS to the other's CTS, DTR to the other's DSR and DCD.
class NullModemCable : public Cable {
 public:
  NullModemCable(Connector& a, Connector& b);
  ~NullModemCable() override;

 private:
  void OutputsChanged(Connector& connector) override;
  void ConnectorGone(Connector& connector) override;
  void Wire();

  Connector* a_;
  Connector* b_;
};

}  // namespace adapter_model
