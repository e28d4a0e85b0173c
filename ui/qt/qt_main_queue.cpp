#include "ui/qt/qt_main_queue.h"

#include <QMetaObject>

namespace klarion::qt {

void QtMainQueue::post(Task task) {
    QMetaObject::invokeMethod(
        receiver_, [this, task = std::move(task)] { runTask(task); }, Qt::QueuedConnection);
}

}  // namespace klarion::qt
