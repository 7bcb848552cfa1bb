// The setup information files that install the driver on Windows 2000: each section they
// name exists, each string they use is defined, and the ids, texts and service they install
// for are the ones the adapter and the driver really present.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "serial_port_test_support.h"

namespace serial_test {
namespace {

// A setup information file as Windows reads one: sections of lines, ';' comments outside
// quotes, section names and keys compared without case.
struct Inf {
  struct Line {
    std::string key;  // empty for a line without '='
    std::vector<std::string> fields;
  };
  std::map<std::string, std::vector<Line>> sections;

  static std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  }
  static std::string Trim(const std::string& text) {
    size_t first = text.find_first_not_of(" \t\r");
    size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
  }
  static std::string Unquote(std::string text) {
    text = Trim(text);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    return text;
  }

  static Inf Read(const std::string& path) {
    Inf inf;
    std::ifstream file(path);
    EXPECT_TRUE(file.good()) << path;
    std::string raw, section;
    while (std::getline(file, raw)) {
      std::string line;
      bool quoted = false;
      for (char c : raw) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) break;
        line += c;
      }
      line = Trim(line);
      if (line.empty()) continue;
      if (line.front() == '[') {
        section = Lower(Trim(line.substr(1, line.find(']') - 1)));
        inf.sections[section];
        continue;
      }
      Line entry;
      std::string values = line;
      size_t equals = line.find('=');
      if (equals != std::string::npos) {
        entry.key = Trim(line.substr(0, equals));
        values = line.substr(equals + 1);
      }
      std::stringstream fields(values);
      std::string field;
      while (std::getline(fields, field, ',')) entry.fields.push_back(Trim(field));
      inf.sections[section].push_back(entry);
    }
    return inf;
  }

  bool Has(const std::string& name) const { return sections.count(Lower(name)) != 0; }
  const std::vector<Line>& Section(const std::string& name) const {
    static const std::vector<Line> none;
    auto found = sections.find(Lower(name));
    return found == sections.end() ? none : found->second;
  }
  std::string Value(const std::string& section, const std::string& key) const {
    for (const Line& line : Section(section))
      if (Lower(line.key) == Lower(key) && !line.fields.empty()) return line.fields[0];
    return {};
  }
  // %12% and the like name directories, not strings.
  static bool IsDirectoryId(const std::string& token) {
    return !token.empty() && std::all_of(token.begin(), token.end(), ::isdigit);
  }
  // %token% replaced from [Strings].
  std::string Expand(const std::string& text) const {
    std::string out;
    for (size_t at = 0; at < text.size();) {
      size_t open = text.find('%', at);
      size_t close = open == std::string::npos ? open : text.find('%', open + 1);
      if (close == std::string::npos) {
        out += text.substr(at);
        break;
      }
      std::string token = text.substr(open + 1, close - open - 1);
      out += text.substr(at, open - at);
      out += IsDirectoryId(token) ? "%" + token + "%" : Unquote(Value("Strings", token));
      at = close + 1;
    }
    return out;
  }
  // Every %token% that is neither a directory id nor defined in [Strings].
  std::vector<std::string> UndefinedStrings() const {
    std::vector<std::string> missing;
    for (const auto& [name, lines] : sections) {
      if (name == "strings") continue;
      for (const Line& line : lines) {
        std::string all = line.key;
        for (const auto& field : line.fields) all += "," + field;
        for (size_t open = all.find('%'); open != std::string::npos;) {
          size_t close = all.find('%', open + 1);
          if (close == std::string::npos) break;
          std::string token = all.substr(open + 1, close - open - 1);
          if (!IsDirectoryId(token) && Value("Strings", token).empty()) missing.push_back(token);
          open = all.find('%', close + 1);
        }
      }
    }
    return missing;
  }

  // Models: hardware or compatible id → install section, and description per id.
  struct Model {
    std::string description, install;
    std::vector<std::string> ids;
  };
  std::vector<Model> Models() const {
    std::vector<Model> models;
    for (const Line& maker : Section("Manufacturer"))
      for (const Line& line : Section(maker.fields.at(0)))
        models.push_back({Expand(line.key), line.fields.at(0), {line.fields.begin() + 1, line.fields.end()}});
    return models;
  }

  // The sections the file refers to, from where Windows 2000's setup looks them up.
  std::vector<std::string> MissingSections() const {
    std::vector<std::string> missing;
    auto need = [&](const std::string& name, const std::string& from) {
      if (!Has(name)) missing.push_back(name + " (named by " + from + ")");
    };
    for (const char* required : {"Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs",
                                 "Strings"})
      need(required, "every device INF");
    for (const Line& maker : Section("Manufacturer")) need(maker.fields.at(0), "Manufacturer");
    for (const Model& model : Models()) {
      need(model.install, "a model");
      need(model.install + ".Services", "a model's install section");
      for (const Line& line : Section(model.install)) {
        if (Lower(line.key) == "copyfiles" || Lower(line.key) == "addreg")
          for (const auto& field : line.fields)
            if (field.front() != '@') need(field, model.install);
      }
      for (const Line& line : Section(model.install + ".Services"))
        if (Lower(line.key) == "addservice") {
          need(line.fields.at(2), "AddService");
          for (const Line& service : Section(line.fields.at(2)))
            if (Lower(service.key) == "addreg") need(service.fields.at(0), line.fields.at(2));
        }
    }
    for (const Line& line : Section("DestinationDirs"))
      if (Lower(line.key) != "defaultdestdir") need(line.key, "DestinationDirs");
    return missing;
  }
};

std::string InfPath(const char* name) { return std::string(ZEL_SOURCE_DIR) + "/target/inf/" + name; }

std::string Lower(std::string text) { return Inf::Lower(std::move(text)); }

std::string UsbId(const std::vector<uint8_t>& device) {
  EXPECT_GE(device.size(), 18u);
  if (device.size() < 18) return {};
  char id[40];
  std::snprintf(id, sizeof(id), "USB\\Vid_%04x&Pid_%04x", device[8] | device[9] << 8, device[10] | device[11] << 8);
  return id;
}

std::vector<std::string> Ids(const Inf& inf) {
  std::vector<std::string> ids;
  for (const auto& model : inf.Models()) ids.push_back(Lower(model.ids.at(0)));
  return ids;
}

TEST(InfFiles, NameOnlySectionsAndStringsThatExist) {
  for (const char* name : {"zelbrusb.inf", "zelports.inf"}) {
    Inf inf = Inf::Read(InfPath(name));
    EXPECT_EQ(inf.Value("Version", "Signature"), "\"$Windows NT$\"") << name;
    EXPECT_EQ(inf.MissingSections(), std::vector<std::string>{}) << name;
    EXPECT_EQ(inf.UndefinedStrings(), std::vector<std::string>{}) << name;
    // Every file a section copies comes from a disk the file names.
    for (const auto& [section, lines] : inf.sections)
      if (section.ends_with(".files"))
        for (const auto& line : lines) {
          std::string disk = inf.Value("SourceDisksFiles", line.fields.empty() ? line.key : line.fields[0]);
          EXPECT_FALSE(disk.empty()) << name << ": " << line.fields[0];
          EXPECT_FALSE(inf.Value("SourceDisksNames", disk).empty()) << name << ": disk " << disk;
        }
  }
}

TEST(InfFiles, InstallTheServiceTheDriverIsLoadedAsWithItsDefaults) {
  for (const char* name : {"zelbrusb.inf", "zelports.inf"}) {
    Inf inf = Inf::Read(InfPath(name));
    for (const auto& model : inf.Models()) {
      std::vector<Inf::Line> services = inf.Section(model.install + ".Services");
      ASSERT_EQ(services.size(), 1u) << name;
      const auto& add = services[0].fields;
      ASSERT_EQ(add.size(), 3u) << name;
      EXPECT_EQ(add[0], std::string(harness::kDriverName.begin(), harness::kDriverName.end())) << name;
      std::u16string key(harness::kServiceKeyPath);
      EXPECT_TRUE(key.ends_with(u"\\Services\\" + std::u16string(harness::kDriverName))) << name;
      EXPECT_EQ(std::stoul(add[1], nullptr, 0) & 0x2, 0x2u) << name << ": the service is the device's function";
      EXPECT_EQ(inf.Value(add[2], "ServiceType"), "1") << name << ": a kernel driver";
      EXPECT_EQ(inf.Value(add[2], "StartType"), "3") << name << ": started on demand, when a device needs it";
      EXPECT_EQ(Lower(inf.Value(add[2], "ServiceBinary")), "%12%\\zelbrusb.sys") << name;
    }
  }
  // The driver's parameters, as REG_DWORD (0x00010001) values with the driver's defaults.
  Inf adapter = Inf::Read(InfPath("zelbrusb.inf"));
  std::map<std::string, std::string> parameters;
  for (const auto& line : adapter.Section(adapter.Value("ZelBrUsb.Service", "AddReg"))) {
    ASSERT_EQ(line.fields.size(), 5u);
    EXPECT_EQ(line.fields[0], "HKR");
    EXPECT_EQ(line.fields[1], "Parameters");
    parameters[line.fields[2]] = line.fields[3] + " " + line.fields[4];
  }
  EXPECT_EQ(parameters, (std::map<std::string, std::string>{{"MAP230K", "0x00010001 0"},
                                                            {"MAP460K", "0x00010001 0"},
                                                            {"MaximumTransferSize", "0x00010001 4096"}}))
      << "each a REG_DWORD with the driver's default";
}

class InfIds : public SerialPortTest {};

TEST_F(InfIds, AreTheOnesTheAdapterPresentsBlankAndRunning) {
  Inf inf = Inf::Read(InfPath("zelbrusb.inf"));
  const std::string running = UsbId(fixture().model().Device().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0));

  adapter_model::AdapterOptions options;
  options.runningMainFirmware = false;
  // Read as it is plugged in, before the driver downloads to it and it comes back running.
  adapter_model::Adapter blankAdapter(options);
  sim::usb::BusPort& busPort = sim::usb::AddPort(blankAdapter.Device());
  blankAdapter.Plug(busPort);
  const std::string blank = UsbId(blankAdapter.Device().GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0));
  h().RunUntilIdle();
  blankAdapter.Unplug();
  h().RunUntilIdle();

  EXPECT_NE(blank, running);
  EXPECT_EQ(Ids(inf), (std::vector<std::string>{Lower(blank), Lower(running)}));
  for (const auto& model : inf.Models()) EXPECT_EQ(model.install, "ZelBrUsb.Install");
}

TEST_F(InfIds, AreTheOnesThePortsReportWithTheirText) {
  Inf inf = Inf::Read(InfPath("zelports.inf"));
  EXPECT_EQ(inf.Value("Version", "Class"), "Ports") << "the class whose installer names COM ports";
  EXPECT_EQ(Lower(inf.Value("Version", "ClassGuid")), "{4d36e978-e325-11ce-bfc1-08002be10318}");
  auto answer = [&](int number, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> setup) {
    sim::io::RawIrp irp;
    irp.major = IRP_MJ_PNP;
    irp.minor = minor;
    irp.setup = std::move(setup);
    sim::io::Result result = h().Send(port(number)->Self, irp);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    std::string text;
    if (result.information == 0) return text;
    for (auto* c = reinterpret_cast<const char16_t*>(result.information); *c; ++c) text += static_cast<char>(*c);
    h().RunTask("release", [&] { ExFreePool(reinterpret_cast<PVOID>(result.information)); });
    return text;
  };
  std::vector<Inf::Model> models = inf.Models();
  ASSERT_EQ(models.size(), 4u);
  for (int number = 1; number <= 4; ++number) {
    auto query = [](BUS_QUERY_ID_TYPE type) {
      return [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; };
    };
    const Inf::Model& model = models[number - 1];
    EXPECT_EQ(model.ids.at(0), answer(number, IRP_MN_QUERY_ID, query(BusQueryHardwareIDs)));
    ASSERT_EQ(model.ids.size(), 2u);
    EXPECT_EQ(model.ids[1], answer(number, IRP_MN_QUERY_ID, query(BusQueryCompatibleIDs)));
    EXPECT_EQ(model.description, answer(number, IRP_MN_QUERY_DEVICE_TEXT, [](PIO_STACK_LOCATION s) {
                s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
              }));
    EXPECT_EQ(model.install, "ZelPort.Install");
  }
}

}  // namespace
}  // namespace serial_test
