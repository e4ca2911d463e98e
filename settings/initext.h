#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace settings {

// Writes keys, section names and values in Qt's INI conventions, so that
// config.ini can be written without QSettings and still read back by it to
// exactly the values written: "/" in a key becomes "\", other characters
// outside [A-Za-z0-9_.-] are percent-encoded, values are escaped and quoted
// where QSettings would, lists become "a, b", byte arrays and other types
// get their "@Type(...)" form. Stateless; any thread.
class IniText
{
public:
    // A key or a section name.
    static QByteArray key(const QString &key);
    // A value as QSettings writes it: strings, numbers, booleans, lists,
    // byte arrays; any other type in its "@Variant(...)" form.
    static QByteArray value(const QVariant &value);
    // "key=value\n".
    static QByteArray line(const QString &key, const QVariant &value);
    // "[name]\n"; the empty name is the section of keys outside any group.
    static QByteArray sectionHeader(const QString &name);

private:
    static void appendEscaped(const QString &text, QByteArray *out);
    static QString variantText(const QVariant &value);
};

} // namespace settings
