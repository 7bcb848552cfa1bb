#include "adapter_model/cable.h"

#include <algorithm>
#include <stdexcept>

namespace adapter_model {

// ---- Connector ----------------------------------------------------------------------------

Connector::~Connector() {
  if (Cable* cable = cable_) {
    cable->Release(*this);
    cable->ConnectorGone(*this);
  }
}

void Connector::SetOutputs(bool rts, bool dtr) {
  if (rts == rts_ && dtr == dtr_) return;
  rts_ = rts;
  dtr_ = dtr;
  if (cable_) cable_->OutputsChanged(*this);
}

void Connector::ConnectRxd(SerialLine* line) {
  if (line == rxd_) return;
  rxd_ = line;
  if (onRxdChanged) onRxdChanged();
}

void Connector::SetInputs(const ModemInputs& inputs) {
  if (inputs == inputs_) return;
  ModemInputs before = inputs_;
  inputs_ = inputs;
  if (onInputsChanged) onInputsChanged(before);
}

// ---- Cable --------------------------------------------------------------------------------

Cable::~Cable() { UnplugAll(); }

void Cable::Plug(Connector& connector) {
  if (connector.cable_) throw std::logic_error("connector " + connector.Name() + " already has a cable");
  connector.cable_ = this;
  connectors_.push_back(&connector);
}

void Cable::UnplugAll() {
  auto connectors = std::move(connectors_);
  connectors_.clear();
  for (Connector* connector : connectors) {
    connector->cable_ = nullptr;
    connector->ConnectRxd(nullptr);
    connector->SetInputs({});
  }
}

bool Cable::Plugged(const Connector* connector) const {
  return std::find(connectors_.begin(), connectors_.end(), connector) != connectors_.end();
}

void Cable::Release(Connector& connector) {
  connector.cable_ = nullptr;
  connectors_.erase(std::remove(connectors_.begin(), connectors_.end(), &connector), connectors_.end());
}

// ---- LoopbackPlug -------------------------------------------------------------------------

LoopbackPlug::LoopbackPlug(Connector& port, RingWiring ring) : port_(&port), ring_(ring) {
  Plug(port);
  port.ConnectRxd(&port.Txd());
  Wire();
}

LoopbackPlug::~LoopbackPlug() { UnplugAll(); }

void LoopbackPlug::Wire() {
  if (!port_) return;
  ModemInputs in;
  in.cts = port_->Rts();
  in.dsr = in.dcd = port_->Dtr();
  in.ri = ring_ == RingWiring::FromDtr ? port_->Dtr() : ring_ == RingWiring::FromRts ? port_->Rts() : false;
  port_->SetInputs(in);
}

void LoopbackPlug::OutputsChanged(Connector&) { Wire(); }

void LoopbackPlug::ConnectorGone(Connector&) { port_ = nullptr; }

// ---- NullModemCable -----------------------------------------------------------------------

NullModemCable::NullModemCable(Connector& a, Connector& b) : a_(&a), b_(&b) {
  if (&a == &b) throw std::logic_error("a null-modem cable needs two different ports");
  if (b.PluggedCable()) throw std::logic_error("connector " + b.Name() + " already has a cable");
  Plug(a);
  Plug(b);
  a.ConnectRxd(&b.Txd());
  b.ConnectRxd(&a.Txd());
  Wire();
}

NullModemCable::~NullModemCable() { UnplugAll(); }

void NullModemCable::Wire() {
  if (!a_ || !b_) return;
  auto facing = [](const Connector& other) {
    ModemInputs in;
    in.cts = other.Rts();
    in.dsr = in.dcd = other.Dtr();
    return in;
  };
  a_->SetInputs(facing(*b_));
  b_->SetInputs(facing(*a_));
}

void NullModemCable::OutputsChanged(Connector&) { Wire(); }

void NullModemCable::ConnectorGone(Connector& connector) {
  // The far end keeps nothing of a port that no longer exists.
  (void)connector;
  a_ = b_ = nullptr;
  UnplugAll();
}

}  // namespace adapter_model
