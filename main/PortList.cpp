#include "PortList.h"

#include <QFont>
#include <QString>
#include <QVariant>

#include "LinuxSerialApi.h"
#include "Wording.h"

TPortList::TPortList(QWidget* parent) : QComboBox(parent) {}

portinfo::DeviceTree TPortList::Tree() const {
  if (tree_) return *tree_;
  portinfo::DeviceTree tree;
  tree.portsDir = serial::PortsDirectory();
  return tree;
}

void TPortList::Refresh() {
  // Item i is COM<i+1>: the empty last item included.
  const auto states = portinfo::SurveyComPorts(Tree(), count());
  for (int i = 0; i < count() && i < static_cast<int>(states.size()); ++i) {
    const portinfo::ComPortState& s = states[static_cast<std::size_t>(i)];
    if (s.present) {
      QFont bold = font();
      bold.setBold(true);
      setItemData(i, bold, Qt::FontRole);
    } else {
      setItemData(i, QVariant(), Qt::FontRole);
    }
    const QString tip = TWording::Port(s);
    setItemData(i, tip.isEmpty() ? QVariant() : QVariant(tip), Qt::ToolTipRole);
  }
}

void TPortList::showPopup() {
  Refresh();
  QComboBox::showPopup();
}
