// The window's COM list: items "COM1".."COM80" and the empty one as always; those that lead to
// a device that is there are bold, with the device named in their tooltip. Each opening looks
// again, so an adapter plugged in meanwhile shows up (and gets its COM number).
#pragma once

#include <QComboBox>

#include <optional>

#include "Adapters.h"

class TPortList : public QComboBox {
 public:
  explicit TPortList(QWidget* parent = nullptr);

  // Where to look; by default the system's folders and the serial layer's ports folder.
  void SetDeviceTree(const portinfo::DeviceTree& tree) { tree_ = tree; }
  portinfo::DeviceTree Tree() const;

  // Marks the items anew from what is there now.
  void Refresh();

  void showPopup() override;

 private:
  std::optional<portinfo::DeviceTree> tree_;
};
