// A device tree of plain files and links in a temporary folder, laid out as sysfs, /dev and
// udev lay out USB serial adapters and built-in ports.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "Adapters.h"

namespace portinfotest {

namespace fs = std::filesystem;

struct FakeAdapter {
  std::string vendorId = "0403", productId = "6001";
  std::string manufacturer = "FTDI", product = "USB-RS485 Cable", serial;
  std::string driver = "ftdi_sio";
  bool withById = true;
};

class FakeDeviceTree {
 public:
  FakeDeviceTree() {
    std::string tmpl = (fs::temp_directory_path() / "konfigurator-tree-XXXXXX").string();
    root_ = ::mkdtemp(tmpl.data());
    tree_.sysfs = (root_ / "sys").string();
    tree_.dev = (root_ / "dev").string();
    tree_.byId = (root_ / "dev/serial/by-id").string();
    tree_.portsDir = (root_ / "home/.config/konfigurator/ports").string();
    fs::create_directories(root_ / "sys/class/tty");
    fs::create_directories(root_ / "dev");
  }
  ~FakeDeviceTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  const portinfo::DeviceTree& Tree() const { return tree_; }
  const fs::path& Root() const { return root_; }

  // The adapter appears as tty (ttyUSB0, ttyACM1) on USB socket 1-socket; returns its by-id
  // path (empty without one).
  std::string Plug(const FakeAdapter& a, const std::string& tty, int socket) {
    const fs::path usb =
        root_ / "sys/devices/pci0000:00/0000:00:14.0/usb1" / ("1-" + std::to_string(socket));
    const fs::path iface = usb / ("1-" + std::to_string(socket) + ":1.0");
    const bool acm = tty.rfind("ttyACM", 0) == 0;
    // An ACM tty hangs off the interface itself; a usb-serial tty has a port device between.
    const fs::path port = acm ? iface : iface / tty;
    fs::create_directories(port);
    Write(usb / "idVendor", a.vendorId);
    Write(usb / "idProduct", a.productId);
    if (!a.manufacturer.empty()) Write(usb / "manufacturer", a.manufacturer);
    if (!a.product.empty()) Write(usb / "product", a.product);
    if (!a.serial.empty()) Write(usb / "serial", a.serial);
    const fs::path drivers = root_ / (acm ? "sys/bus/usb/drivers" : "sys/bus/usb-serial/drivers");
    fs::create_directories(drivers / a.driver);
    Relink(drivers / a.driver, port / "driver");
    fs::create_directories(root_ / "sys/class/tty" / tty);
    Relink(port, root_ / "sys/class/tty" / tty / "device");
    Write(root_ / "dev" / tty, "");
    if (!a.withById) return {};
    const std::string name = "usb-" + a.manufacturer + "_" + Underscored(a.product) + "_" +
                             a.serial + "-if00" + (acm ? "" : "-port0");
    fs::create_directories(tree_.byId);
    Relink("../../" + tty, fs::path(tree_.byId) / name);
    return (fs::path(tree_.byId) / name).string();
  }

  // The tty goes away with everything udev and the kernel made for it.
  void Unplug(const std::string& tty) {
    std::error_code ec;
    fs::remove_all(root_ / "sys/class/tty" / tty, ec);
    fs::remove(root_ / "dev" / tty, ec);
    for (const auto& e : fs::directory_iterator(tree_.byId, ec))
      if (fs::read_symlink(e.path(), ec).filename() == tty) fs::remove(e.path(), ec);
  }

  // A built-in port ttyS<n>; type 0 is one the kernel found no UART for.
  void BuiltIn(int n, int type) {
    const std::string tty = "ttyS" + std::to_string(n);
    const fs::path port = root_ / "sys/devices/pnp0/00:0" / std::to_string(n) /
                          ("00:0" + std::to_string(n) + ":0") /
                          ("00:0" + std::to_string(n) + ":0.0");
    fs::create_directories(port);
    fs::create_directories(root_ / "sys/bus/serial-base/drivers/port");
    fs::create_directories(root_ / "sys/bus/pnp/drivers/serial");
    Relink(root_ / "sys/bus/serial-base/drivers/port", port / "driver");
    Relink(root_ / "sys/bus/pnp/drivers/serial", port.parent_path().parent_path() / "driver");
    fs::create_directories(root_ / "sys/class/tty" / tty);
    Relink(port, root_ / "sys/class/tty" / tty / "device");
    Write(root_ / "sys/class/tty" / tty / "type", std::to_string(type));
    Write(root_ / "dev" / tty, "");
  }

  static void Write(const fs::path& file, const std::string& text) {
    std::ofstream(file) << text << "\n";
  }
  static void Relink(const fs::path& target, const fs::path& link) {
    std::error_code ec;
    fs::remove(link, ec);
    fs::create_symlink(target, link);
  }

 private:
  static std::string Underscored(std::string s) {
    for (char& c : s)
      if (c == ' ') c = '_';
    return s;
  }

  fs::path root_;
  portinfo::DeviceTree tree_;
};

}  // namespace portinfotest
