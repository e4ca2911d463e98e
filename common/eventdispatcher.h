#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace common {

// Makes the event loops created from now on (the application's and every
// QThread's) run on Qt's own poll-based dispatcher rather than GLib's. GLib
// wakes its loop with an eventfd write and one more poll round each time a
// socket notifier is added or removed or an event is posted: every accepted
// firewall connection paid for several of them. Call it first thing in main,
// before the application object exists.
inline void usePlainEventDispatcher()
{
    qputenv("QT_NO_GLIB", QByteArrayLiteral("1"));
}

} // namespace common
