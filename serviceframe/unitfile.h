#pragma once

#include <QByteArray>
#include <QString>

namespace serviceframe {

// The systemd unit that stands for the installed service. Pure text work and
// one atomic file write; no I/O beyond the given paths.

// "Ferrowinden SSO Agent" -> "ferrowinden-sso-agent": lower case, blanks as "-".
QString unitBaseName(const QString &serviceName);

// The account rules of install: empty -> the local system account (root);
// without "\" -> a local account; ending with "\LocalSystem" -> root; ".\name"
// -> the local user name. Names that the unit file cannot carry safely
// (control characters, blanks, "=", quotes, "%", "/", ":") or that the system
// does not know are refused with a reason in *error.
bool unitUser(const QString &account, QString *user, QString *error);

// The unit text: Type=notify, ExecStart = the executable (quoted and escaped),
// User=, Description=, RuntimeDirectory= (for the control socket; systemd
// gives it to User=), Restart=on-failure, WantedBy=multi-user.target. A user
// other than root gets exactly CAP_NET_BIND_SERVICE and CAP_NET_RAW (ambient
// and bounding set) and NoNewPrivileges=yes. Returns an empty array when
// the executable path cannot be written into a unit (line breaks).
QByteArray unitFileText(const QString &serviceName, const QString &description, const QString &executable,
                        const QString &user);

// Writes through a temporary file in the same folder and a rename, so readers
// never see half a unit.
bool writeFileAtomically(const QString &path, const QByteArray &content, QString *error);

} // namespace serviceframe
