#include "PortList.h"

#include <QFont>
#include <QString>
#include <QVariant>

#include "LinuxSerialApi.h"

TPortList::TPortList(QWidget* parent) : QComboBox(parent) {}

void TPortList::Refresh() {
  portinfo::DeviceTree tree;
  if (tree_) {
    tree = *tree_;
  } else {
    tree.portsDir = serial::PortsDirectory();
  }
  // Item i is COM<i+1>: the empty last item included.
  const auto states = portinfo::SurveyComPorts(tree, count());
  for (int i = 0; i < count() && i < static_cast<int>(states.size()); ++i) {
    const portinfo::ComPortState& s = states[static_cast<std::size_t>(i)];
    if (s.present) {
      QFont bold = font();
      bold.setBold(true);
      setItemData(i, bold, Qt::FontRole);
    } else {
      setItemData(i, QVariant(), Qt::FontRole);
    }
    setItemData(
        i, s.description.empty() ? QVariant() : QVariant(QString::fromStdString(s.description)),
        Qt::ToolTipRole);
  }
}

void TPortList::showPopup() {
  Refresh();
  QComboBox::showPopup();
}
