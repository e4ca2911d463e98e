#include "settings/inifile.h"

void IniFile::clear()
{
    m_sections.clear();
    m_order.clear();
    m_lastError.clear();
}

void IniFile::parse(const QString &text)
{
    clear();

    // Peers are expected to speak ASCII; anything beyond Latin-1 becomes "?".
    // Reading the bytes back as Latin-1 keeps every byte as the same character,
    // where the platform's 8-bit codec (UTF-8 here) would mangle them.
    const QByteArray bytes = text.toLatin1();
    for (QChar c : text) {
        if (c.unicode() > 0xff) {
            m_lastError = QStringLiteral("characters outside Latin-1 were replaced by \"?\"");
            break;
        }
    }

    Section *current = nullptr;
    int dropped = 0;
    int start = 0;
    while (start <= bytes.size()) {
        int end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        const QString line = QString::fromLatin1(bytes.constData() + start, end - start).trimmed();
        start = end + 1;

        const int close = line.indexOf(QLatin1Char(']'));
        if (line.size() >= 3 && line.startsWith(QLatin1Char('[')) && close >= 1) {
            Section section;
            section.name = line.mid(1, close - 1);
            const int hash = line.indexOf(QLatin1Char('#'));
            if (hash >= 0)
                section.comment = line.mid(hash + 1).trimmed();
            const QString upper = section.name.toUpper();
            if (m_sections.contains(upper))
                m_lastError = QStringLiteral("section %1 was read twice, the last one wins").arg(section.name);
            m_sections.insert(upper, section);
            m_order.append(upper);
            current = &m_sections[upper];
            continue;
        }
        if (line.isEmpty())
            continue;
        if (current)
            addLine(*current, line);
        else
            ++dropped;
    }
    if (dropped > 0 && m_lastError.isEmpty())
        m_lastError = QStringLiteral("%1 lines before the first section were ignored").arg(dropped);
}

void IniFile::addLine(Section &section, const QString &line)
{
    section.lines.append(line);
    Entry entry;
    if (!parseLine(line, &entry.key, &entry.value))
        return;
    const QString upper = entry.key.toUpper();
    if (!section.firstEntry.contains(upper))
        section.firstEntry.insert(upper, section.entries.size());
    section.entries.append(entry);
}

bool IniFile::parseLine(const QString &line, QString *key, QString *value)
{
    const int equals = line.indexOf(QLatin1Char('='));
    if (equals <= 0)
        return false;
    *key = line.left(equals);
    QString v = line.mid(equals + 1).trimmed();
    const int quote = v.startsWith(QLatin1Char('"')) ? v.indexOf(QLatin1Char('"'), 1) : -1;
    if (quote >= 1) {
        v = v.mid(1, quote - 1);
    } else {
        const int hash = v.indexOf(QLatin1Char('#'));
        if (hash >= 0)
            v = v.left(hash).trimmed();
    }
    *value = v;
    return true;
}

const IniFile::Section *IniFile::find(const QString &section) const
{
    const auto it = m_sections.constFind(section.toUpper());
    return it == m_sections.constEnd() ? nullptr : &it.value();
}

QStringList IniFile::sectionNames() const
{
    QStringList names;
    names.reserve(m_sections.size());
    for (const Section &section : m_sections)
        names.append(section.name);
    return names;
}

bool IniFile::hasSection(const QString &section) const
{
    return find(section) != nullptr;
}

QString IniFile::sectionName(const QString &section) const
{
    const Section *s = find(section);
    return s ? s->name : QString();
}

QStringList IniFile::keys(const QString &section) const
{
    QStringList result;
    if (const Section *s = find(section)) {
        result.reserve(s->entries.size());
        for (const Entry &entry : s->entries)
            result.append(entry.key);
    }
    return result;
}

QVector<QPair<QString, QString>> IniFile::keyValues(const QString &section) const
{
    QVector<QPair<QString, QString>> result;
    if (const Section *s = find(section)) {
        result.reserve(s->entries.size());
        for (const Entry &entry : s->entries)
            result.append(qMakePair(entry.key, entry.value));
    }
    return result;
}

int IniFile::keyLineCount() const
{
    int count = 0;
    for (const Section &section : m_sections)
        count += section.entries.size();
    return count;
}

QString IniFile::value(const QString &section, const QString &key, const QString &defaultValue) const
{
    const Section *s = find(section);
    if (!s)
        return defaultValue;
    const auto it = s->firstEntry.constFind(key.toUpper());
    return it == s->firstEntry.constEnd() ? defaultValue : s->entries.at(it.value()).value;
}

qint32 IniFile::intValue(const QString &section, const QString &key, qint32 defaultValue) const
{
    bool ok = false;
    const qint32 result = value(section, key, QString::number(defaultValue)).toInt(&ok, 10);
    return ok ? result : defaultValue;
}

bool IniFile::boolValue(const QString &section, const QString &key, bool defaultValue) const
{
    bool ok = false;
    const qint32 number = value(section, key, QStringLiteral("-1")).toInt(&ok, 10);
    if (ok && number != -1)
        return number != 0;
    const QString text = value(section, key, QString());
    if (text == QLatin1String("on") || text == QLatin1String("true"))
        return true;
    if (text == QLatin1String("off") || text == QLatin1String("false"))
        return false;
    return defaultValue;
}
