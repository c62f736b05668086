// Posting the program's messages into the Qt event loop: a MessageTarget that any thread may post to, and
// the event that carries one message to a QObject on the user-interface thread.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>

#include "platform/MessageTarget.h"

class MessageEvent final : public QEvent {
public:
    static QEvent::Type EventType();
    explicit MessageEvent(const Message& message) : QEvent(EventType()), message_(message) {}
    const Message& GetMessage() const { return message_; }

private:
    Message message_;
};

// Thread-safe: QCoreApplication::postEvent queues the event for the receiver's thread and never waits.
class QtMessageTarget final : public MessageTarget {
public:
    explicit QtMessageTarget(QObject* receiver) : receiver_(receiver) {}
    void Post(uint32_t message, WPARAM wParam, LPARAM lParam) override {
        QCoreApplication::postEvent(receiver_, new MessageEvent(Message{message, wParam, lParam}));
    }

private:
    QObject* receiver_;
};
