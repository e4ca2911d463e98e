#include "settings/initext.h"

#include <QDataStream>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringList>

namespace settings {

namespace {
const char HexDigits[] = "0123456789ABCDEF";

bool plainKeyChar(ushort ch)
{
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_' || ch == '-' ||
           ch == '.';
}

bool hexDigit(ushort ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}
} // namespace

QByteArray IniText::key(const QString &key)
{
    QByteArray out;
    out.reserve(key.size() + 8);
    for (const QChar c : key) {
        const ushort ch = c.unicode();
        if (ch == '/') {
            out += '\\';
        } else if (plainKeyChar(ch)) {
            out += char(ch);
        } else if (ch <= 0xFF) {
            out += '%';
            out += HexDigits[ch / 16];
            out += HexDigits[ch % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += HexDigits[(ch >> shift) & 0xF];
        }
    }
    return out;
}

// The text form QSettings gives a value before escaping it.
QString IniText::variantText(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::UnknownType:
        return QStringLiteral("@Invalid()");
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return QStringLiteral("@ByteArray(") + QLatin1String(bytes.constData(), bytes.size()) + QLatin1Char(')');
    }
    case QMetaType::QString:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Bool:
    case QMetaType::Double: {
        QString text = value.toString();
        if (text.contains(QChar::Null))
            return QStringLiteral("@String(") + text + QLatin1Char(')');
        if (text.startsWith(QLatin1Char('@')))
            text.prepend(QLatin1Char('@'));
        return text;
    }
    case QMetaType::QRect: {
        const QRect r = value.toRect();
        return QStringLiteral("@Rect(%1 %2 %3 %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    case QMetaType::QSize: {
        const QSize s = value.toSize();
        return QStringLiteral("@Size(%1 %2)").arg(s.width()).arg(s.height());
    }
    case QMetaType::QPoint: {
        const QPoint p = value.toPoint();
        return QStringLiteral("@Point(%1 %2)").arg(p.x()).arg(p.y());
    }
    default: {
        QByteArray bytes;
        {
            QDataStream stream(&bytes, QIODevice::WriteOnly);
            stream.setVersion(QDataStream::Qt_4_0);
            stream << value;
        }
        return QStringLiteral("@Variant(") + QLatin1String(bytes.constData(), bytes.size()) + QLatin1Char(')');
    }
    }
}

void IniText::appendEscaped(const QString &text, QByteArray *out)
{
    const int start = out->size();
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (const QChar c : text) {
        const ushort ch = c.unicode();
        if (ch == ';' || ch == ',' || ch == '=')
            needsQuotes = true;
        // "\x41" followed by a hex digit would read as one longer escape.
        if (escapeNextIfDigit && hexDigit(ch)) {
            *out += "\\x" + QByteArray::number(ch, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (ch) {
        case '\0':
            *out += "\\0";
            escapeNextIfDigit = true;
            break;
        case '\a':
            *out += "\\a";
            break;
        case '\b':
            *out += "\\b";
            break;
        case '\f':
            *out += "\\f";
            break;
        case '\n':
            *out += "\\n";
            break;
        case '\r':
            *out += "\\r";
            break;
        case '\t':
            *out += "\\t";
            break;
        case '\v':
            *out += "\\v";
            break;
        case '"':
        case '\\':
            *out += '\\';
            *out += char(ch);
            break;
        default:
            if (ch <= 0x1F || ch >= 0x7F) {
                *out += "\\x" + QByteArray::number(ch, 16);
                escapeNextIfDigit = true;
            } else {
                *out += char(ch);
            }
        }
    }
    if (needsQuotes || (start < out->size() && (out->at(start) == ' ' || out->at(out->size() - 1) == ' '))) {
        out->insert(start, '"');
        *out += '"';
    }
}

QByteArray IniText::value(const QVariant &value)
{
    QByteArray out;
    const bool isList = value.userType() == QMetaType::QStringList ||
                        (value.userType() == QMetaType::QVariantList && value.toList().size() != 1);
    if (!isList) {
        appendEscaped(variantText(value), &out);
        return out;
    }
    const QVariantList items = value.toList();
    // An empty list reads back as an invalid value, which is an empty list again.
    if (items.isEmpty())
        return "@Invalid()";
    for (int i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += ", ";
        appendEscaped(variantText(items.at(i)), &out);
    }
    return out;
}

QByteArray IniText::line(const QString &name, const QVariant &v)
{
    return key(name) + '=' + value(v) + '\n';
}

QByteArray IniText::sectionHeader(const QString &name)
{
    // Keys outside any group live in [General]; a group of that name is escaped.
    if (name.isEmpty())
        return "[General]\n";
    if (name.compare(QLatin1String("general"), Qt::CaseInsensitive) == 0)
        return "[%General]\n";
    return '[' + key(name) + "]\n";
}

} // namespace settings
