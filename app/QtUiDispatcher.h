// The serial component's way to the UI thread, over the Qt event loop.
#pragma once

#include <QObject>

#include <memory>

#include "UiDispatcher.h"

// Work from the monitor thread goes into the plain queue; a queued call wakes the Qt loop to
// serve it. While a port closes, the UI thread serves the same queue in ServeUntil without
// running the Qt loop, so no button press can slip in during the close.
class TQtUiDispatcher : public TQueuedUiDispatcher {
 public:
  // Construct on the UI thread; the queued calls go to that thread.
  TQtUiDispatcher();
  ~TQtUiDispatcher() override;

 protected:
  bool OnUiThread() const override;
  void WorkQueued() override;

 private:
  std::unique_ptr<QObject> receiver_;  // lives on the UI thread; its queued calls die with it
};
