#pragma once

#include "settings/configuration.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QRegExp>
#include <QSettings>

namespace settings {

// Owner of config.ini beside the executable: creates it with defaults on the
// first run, loads it into value records, saves it on every change (through a
// temporary file and a rename, so a crash never leaves half a file) and
// reloads it when it is edited from outside. One instance per process; every
// public operation may be called from any thread and returns copies.
class Settings : public QObject
{
    Q_OBJECT
public:
    static Settings *instance();
    static void destroy();

    GlobalConfiguration globalConfiguration() const;
    ServerConfiguration serverConfiguration() const;
    QStringList adConfigurationNames() const;
    ADConfiguration adConfiguration(const QString &name) const;
    QStringList enabledAdNames() const;

    void setADConfiguration(const ADConfiguration &config);
    void setServerConfiguration(const ServerConfiguration &config);
    void removeADConfiguration(const QString &name);

    QString toString() const;
    bool isWritable() const;
    QString configPath() const;

    // Tests: the folder that stands for "beside the executable"; call before instance().
    static void setDirectoryForTest(const QString &directory);

signals:
    void serverConfigChanged();
    void adConfigChanged(const settings::ADConfiguration &config);
    void adConfigAdded(const settings::ADConfiguration &config);
    void configFileChanged();

private slots:
    void ponConfigFileChanged(const QString &path);

private:
    explicit Settings(const QString &directory);
    ~Settings() override;

    void writeDefaults();
    void load();
    void save(); // mutex held by the caller
    void watch();
    QByteArray fileFingerprint() const;

    QHash<QString, ADConfiguration> m_adConfigs;
    GlobalConfiguration m_global;
    ServerConfiguration m_server;
    mutable QMutex m_mutex; // guards the three above and the file
    QFileSystemWatcher m_watcher;
    QRegExp m_sectionPattern;
    QString m_path;
    QSettings *m_settings = nullptr;
    QByteArray m_knownContent; // what the program last read or wrote; main thread, under m_mutex
};

} // namespace settings
