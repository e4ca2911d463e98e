#pragma once

// GoogleTest printers for the Qt types that tests compare, so that a failure
// shows text instead of bytes.
#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &value, std::ostream *os) { *os << '"' << value.toStdString() << '"'; }
inline void PrintTo(const QByteArray &value, std::ostream *os) { *os << '"' << value.toStdString() << '"'; }
inline void PrintTo(const QStringList &value, std::ostream *os)
{
    *os << '{' << value.join(QStringLiteral("\", \"")).prepend('"').append('"').toStdString() << '}';
}
inline void PrintTo(const QHostAddress &value, std::ostream *os) { *os << value.toString().toStdString(); }
QT_END_NAMESPACE
