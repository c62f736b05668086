#include "app/QtMessageTarget.h"

QEvent::Type MessageEvent::EventType() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}
