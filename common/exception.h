#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

namespace common {

// Base of the agent's exceptions. The text is kept as Latin-1 bytes so that
// what() stays valid for the exception's lifetime; className() names the
// concrete class for log lines.
class Exception : public std::exception
{
public:
    explicit Exception(const QString &text) : m_text(text.toLatin1()) {}
    ~Exception() override = default;
    const char *what() const noexcept override { return m_text.constData(); }
    virtual QString className() const { return QStringLiteral("common::Exception"); }

private:
    QByteArray m_text;
};

} // namespace common
