#include "serviceframe/unitfile.h"

#include <QFile>
#include <QSaveFile>
#include <pwd.h>
#include <sys/types.h>

namespace serviceframe {

namespace {
const QString LocalSystemSuffix = QStringLiteral("\\LocalSystem");
const QString LocalPrefix = QStringLiteral(".\\");
const char *const AccountCapabilities = "CAP_NET_BIND_SERVICE CAP_NET_RAW";

bool safeUserChar(QChar c)
{
    if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.isSpace())
        return false;
    static const QString forbidden = QStringLiteral("=\"'%/:;#`$");
    return !forbidden.contains(c);
}

// Values that systemd expands: "%" specifiers everywhere, "$" in command lines.
QString escapeSpecifiers(QString text)
{
    return text.replace(QLatin1Char('%'), QStringLiteral("%%"));
}
} // namespace

QString unitBaseName(const QString &serviceName)
{
    return serviceName.toLower().replace(QLatin1Char(' '), QLatin1Char('-'));
}

bool unitUser(const QString &givenAccount, QString *user, QString *error)
{
    QString account = givenAccount;
    if (!account.isEmpty() && !account.contains(QLatin1Char('\\')))
        account.prepend(LocalPrefix);
    if (account.isEmpty() || account.endsWith(LocalSystemSuffix)) {
        *user = QStringLiteral("root");
        return true;
    }
    QString name = account.startsWith(LocalPrefix) ? account.mid(LocalPrefix.size()) : account;
    if (name.isEmpty() || name.size() > 256 || name.startsWith(QLatin1Char('-'))) {
        *error = QStringLiteral("the account name \"%1\" is not usable").arg(givenAccount);
        return false;
    }
    for (const QChar c : name) {
        if (!safeUserChar(c)) {
            *error = QStringLiteral("the account name contains characters a service account cannot have");
            return false;
        }
    }
    const QByteArray local = name.toLocal8Bit();
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (getpwnam_r(local.constData(), &entry, buffer, sizeof buffer, &found) != 0 || !found) {
        *error = QStringLiteral("the account \"%1\" does not exist on this system").arg(name);
        return false;
    }
    *user = name;
    return true;
}

QByteArray unitFileText(const QString &serviceName, const QString &description, const QString &executable,
                        const QString &user)
{
    if (executable.contains(QLatin1Char('\n')) || executable.contains(QLatin1Char('\r')) || executable.isEmpty())
        return QByteArray();

    QString cleanDescription;
    for (const QChar c : description)
        cleanDescription += (c.unicode() < 0x20 || c.unicode() == 0x7f) ? QChar(QLatin1Char(' ')) : c;
    cleanDescription = cleanDescription.trimmed();
    while (cleanDescription.endsWith(QLatin1Char('\\')))
        cleanDescription.chop(1); // a trailing backslash would continue the line

    QString command = executable;
    command.replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
        .replace(QLatin1Char('"'), QStringLiteral("\\\""))
        .replace(QLatin1Char('$'), QStringLiteral("$$"));
    command = escapeSpecifiers(command);

    QString text;
    text += QStringLiteral("[Unit]\n");
    text += QStringLiteral("Description=%1\n").arg(escapeSpecifiers(cleanDescription));
    text += QStringLiteral("\n");
    text += QStringLiteral("[Service]\n");
    text += QStringLiteral("Type=notify\n");
    text += QStringLiteral("ExecStart=\"%1\"\n").arg(command);
    text += QStringLiteral("User=%1\n").arg(escapeSpecifiers(user));
    // A crash (the agent dies of its fatal signal after writing its report), a
    // failed start or a stop forced by an error (exit 1) brings it back.
    text += QStringLiteral("Restart=on-failure\n");
    text += QStringLiteral("RestartSec=5\n");
    // The control socket lives here; systemd creates it for the service's user.
    text += QStringLiteral("RuntimeDirectory=%1\n").arg(escapeSpecifiers(unitBaseName(serviceName)));
    if (user != QLatin1String("root")) {
        // An account keeps only what the syslog port (514) and raw ICMP echoes
        // need, and can never gain more (no setuid, no file capabilities).
        text += QStringLiteral("AmbientCapabilities=%1\n").arg(QLatin1String(AccountCapabilities));
        text += QStringLiteral("CapabilityBoundingSet=%1\n").arg(QLatin1String(AccountCapabilities));
        text += QStringLiteral("NoNewPrivileges=yes\n");
    }
    text += QStringLiteral("\n");
    text += QStringLiteral("[Install]\n");
    text += QStringLiteral("WantedBy=multi-user.target\n");
    return text.toUtf8();
}

bool writeFileAtomically(const QString &path, const QByteArray &content, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = file.errorString();
        return false;
    }
    if (file.write(content) != content.size()) {
        *error = file.errorString();
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        *error = file.errorString();
        return false;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
                                    QFileDevice::ReadOther);
    return true;
}

} // namespace serviceframe
