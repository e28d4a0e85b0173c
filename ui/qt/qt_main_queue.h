// The main queue on Qt's event loop: posted tasks run in the GUI thread, in
// order, each through runTask so that the change reactions follow.
#pragma once

#include <QObject>

#include "platform/main_queue.h"

namespace klarion::qt {

class QtMainQueue : public MainQueue {
public:
    // `receiver` lives in the GUI thread (the application object).
    explicit QtMainQueue(QObject* receiver) : receiver_(receiver) {}
    void post(Task task) override;

private:
    QObject* receiver_;
};

}  // namespace klarion::qt
