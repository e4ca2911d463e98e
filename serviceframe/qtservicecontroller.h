#pragma once

#include <QString>

// Controls the installed service by name. "Installed" means the systemd unit
// file exists in the unit folder (/etc/systemd/system, or $SSO_AGENT_UNIT_DIR)
// or, as the Debian package installs it, in /lib/systemd/system;
// the running service is reached through its control socket in the runtime
// folder (/run/<unit name>, or $SSO_AGENT_RUNTIME_DIR). Every call is
// synchronous, opens what it needs and closes it before returning.
class QtServiceController
{
public:
    explicit QtServiceController(const QString &name);
    ~QtServiceController() = default;

    QString serviceName() const { return m_serviceName; }

    bool isInstalled() const;
    bool isRunning() const;

    // Writes the unit for the given executable and, when systemd runs the
    // system and the unit folder is its own, reloads systemd and enables the
    // unit. *error says why it failed.
    static bool install(const QString &serviceName, const QString &description, const QString &executable,
                        const QString &account, const QString &password, QString *error);
    bool uninstall();

    // Sends stop and waits up to 10 x 200 ms for the service to report stopped.
    bool stop();
    bool pause();
    bool resume();
    // Sends user control code + 128; refused unless code is 0..127 and the service runs.
    bool sendCommand(int code);

    static QString unitDirectory();
    static QString unitFilePath(const QString &serviceName);
    // The unit the Debian package installs (/lib/systemd/system); empty when
    // $SSO_AGENT_UNIT_DIR names a folder of its own. It counts as installed.
    static QString packageUnitFilePath(const QString &serviceName);
    static QString runtimeDirectory(const QString &serviceName);
    static QString controlSocketPath(const QString &serviceName);

private:
    QString m_serviceName;
};
