#pragma once

#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

// Reads text made of "[Section]" headers and key=value lines and answers
// look-ups by section and key. Forgiving on purpose: names are matched
// ignoring case, keys are not trimmed (so "Key = v" has the key "Key "), a
// value may be quoted and a "#" starts a comment. Malformed lines never match,
// missing sections or keys give the caller's default, and a section read twice
// replaces the earlier one. Not thread-safe; used by one thread at a time.
class IniFile
{
public:
    IniFile() = default;
    virtual ~IniFile() = default;

    // Replaces the whole content by the content of text.
    void parse(const QString &text);
    void clear();

    // Section names as written in their headers, in no particular order.
    QStringList sectionNames() const;
    // Upper-cased section names in the order their headers were read; a
    // name read twice is listed twice.
    const QStringList &sectionOrder() const { return m_order; }
    bool hasSection(const QString &section) const;
    // The section's name as written in its last header; empty when missing.
    QString sectionName(const QString &section) const;

    // Keys of the section's lines that have one, in line order, untrimmed.
    QStringList keys(const QString &section) const;
    // Key and value of every line that has a key, in line order.
    QVector<QPair<QString, QString>> keyValues(const QString &section) const;
    // Number of key lines over all sections.
    int keyLineCount() const;

    QString value(const QString &section, const QString &key, const QString &defaultValue = QString()) const;
    qint32 intValue(const QString &section, const QString &key, qint32 defaultValue) const;
    // A decimal other than -1 is true when not 0; otherwise "on"/"true" and
    // "off"/"false" (case-sensitive); anything else gives the default.
    bool boolValue(const QString &section, const QString &key, bool defaultValue) const;

    // What the last parse had to drop or replace; empty when nothing.
    const QString &lastError() const { return m_lastError; }

    // Splits one line into key and value by the reader's rules; false when
    // the line has no key.
    static bool parseLine(const QString &line, QString *key, QString *value);

private:
    struct Entry
    {
        QString key;
        QString value;
    };
    struct Section
    {
        QStringList lines;              // non-empty trimmed lines, comment lines included
        QString name;                   // as written in the header
        QString comment;                // text after "#" on the header line
        QVector<Entry> entries;         // lines with a key, parsed once
        QHash<QString, int> firstEntry; // upper-cased key -> first entry
    };

    const Section *find(const QString &section) const;
    static void addLine(Section &section, const QString &line);

    QHash<QString, Section> m_sections; // upper-cased name -> section
    QStringList m_order;
    QString m_lastError;
};
