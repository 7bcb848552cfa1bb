#include "trace.h"

#include <cstdio>
#include <string>

#include "adapter_model/protocol.h"
#include "simkernel/pnp.h"
#include "simkernel/power.h"
#include "simkernel/usb_bus.h"

namespace simulator {
namespace {

std::string Narrow(std::u16string_view text) { return std::string(text.begin(), text.end()); }

std::string Hex(std::span<const uint8_t> bytes) {
  std::string text;
  char cell[4];
  for (size_t i = 0; i < bytes.size() && i < 24; ++i) {
    std::snprintf(cell, sizeof cell, "%02X ", bytes[i]);
    text += cell;
  }
  if (bytes.size() > 24) text += "...";
  return text;
}

const char* CommandName(uint8_t code) {
  namespace c = adapter_model::command;
  switch (code) {
    case c::kOpen: return "open";
    case c::kClose: return "close";
    case c::kConfigure: return "configure";
    case c::kSetRts: return "set RTS";
    case c::kSetDtr: return "set DTR";
    case c::kSetBreak: return "set break";
    case c::kStatus: return "status";
    case c::kPurge: return "purge";
    case c::kEcho: return "echo";
    default: return "?";
  }
}

const char* ResponseName(uint8_t code) {
  namespace r = adapter_model::response;
  switch (code) {
    case r::kStatus: return "status";
    case r::kEvent: return "event";
    case r::kCommandDone: return "done";
    default: return "?";
  }
}

double Ms(sim::VirtualTime t) { return double(t) / sim::kMillisecond; }

}  // namespace

void Trace::Poll(sim::Machine& machine, bool force) {
  if (!on_ || (!force && machine.Now() == lastPoll_)) return;
  lastPoll_ = machine.Now();
  const auto events = sim::pnp::Events();
  for (; pnpSeen_ < events.size(); ++pnpSeen_) {
    const auto& event = events[pnpSeen_];
    // The identity and text queries of every enumeration would drown the state changes.
    bool routine = false;
    for (const char* query : {"QUERY_ID", "QUERY_DEVICE_TEXT", "QUERY_CAPABILITIES", "QUERY_BUS_INFORMATION",
                              "QUERY_RESOURCE", "QUERY_PNP_DEVICE_STATE", "QUERY_INTERFACE"})
      routine = routine || event.what.rfind(query, 0) == 0;
    if (routine) continue;
    std::printf("  [%10.3f ms] pnp    %-44s %-28s 0x%08X\n", Ms(machine.Now()), Narrow(event.device).c_str(),
                event.what.c_str(), static_cast<unsigned>(event.status));
  }
  const auto power = sim::power::Log();
  for (; powerSeen_ < power.size(); ++powerSeen_) {
    const auto& irp = power[powerSeen_];
    std::printf("  [%10.3f ms] power  %-44s %-5s %s%lu %s 0x%08X\n", Ms(machine.Now()), Narrow(irp.device).c_str(),
                irp.minor == IRP_MN_QUERY_POWER ? "QUERY" : "SET", irp.type == SystemPowerState ? "S" : "D",
                static_cast<unsigned long>(irp.state - 1), irp.requested ? "(driver)" : "",
                static_cast<unsigned>(irp.status));
  }
  std::fflush(stdout);
}

void Trace::CommandBlock(sim::VirtualTime at, int adapter, std::span<const uint8_t> block) {
  if (!on_ || block.empty()) return;
  std::printf("  [%10.3f ms] adapter %d command  -> %-9s %s\n", Ms(at), adapter, CommandName(block[0]),
              Hex(block).c_str());
}

void Trace::ResponseBlock(sim::VirtualTime at, int adapter, std::span<const uint8_t> block) {
  if (!on_ || block.empty()) return;
  std::printf("  [%10.3f ms] adapter %d response <- %-9s %s\n", Ms(at), adapter, ResponseName(block[0]),
              Hex(block).c_str());
}

sim::usb::Handshake TracedDevice::ControlTransfer(const sim::usb::SetupPacket& setup, std::vector<uint8_t>& data) {
  const sim::usb::Handshake handshake = inner_.ControlTransfer(setup, data);
  if (handshake == sim::usb::Handshake::Ack && (setup.bRequest == 0xA0 || setup.bRequest == 0xA3) &&
      (setup.bmRequestType & 0x60) == 0x40) {
    ++downloads_;
    downloadBytes_ += data.size();
  }
  return handshake;
}

sim::usb::Handshake TracedDevice::BulkOut(uint8_t endpoint, std::span<const uint8_t> packet) {
  const sim::usb::Handshake handshake = inner_.BulkOut(endpoint, packet);
  if (handshake == sim::usb::Handshake::Ack && endpoint == adapter_model::kCommandEndpoint)
    trace_.CommandBlock(sim::Machine::Current().Now(), adapter_, packet);
  return handshake;
}

sim::usb::Handshake TracedDevice::BulkIn(uint8_t endpoint, size_t maxPacket, std::vector<uint8_t>& packet) {
  const sim::usb::Handshake handshake = inner_.BulkIn(endpoint, maxPacket, packet);
  if (handshake == sim::usb::Handshake::Ack && endpoint == adapter_model::kResponseEndpoint)
    trace_.ResponseBlock(sim::Machine::Current().Now(), adapter_, packet);
  return handshake;
}

}  // namespace simulator
