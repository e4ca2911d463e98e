#pragma once

#include "settings/atomicfile.h"
#include "settings/configuration.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QRegExp>
#include <QTimer>
#include <QVariant>
#include <QVector>

namespace settings {

// Owner of config.ini beside the executable: creates it with defaults on the
// first run, loads it into value records, saves it when the program changes
// them and reloads it when it is edited from outside.
//
// Saving: config.ini is replaced whole or not at all (AtomicFile), mode 0600,
// and every failed write is logged. Firewall configurations are saved in the
// background: a save requested while one is pending joins it, and the file
// is written at most SaveDelayMs after the first request, so a burst of
// firewalls costs a handful of writes. Only the sections that changed are
// rendered again. flush() writes a pending save at once; destruction does too.
// The server configuration is written at once (setServerConfiguration).
//
// Outside edits: the program's own writes are told from edits by the file's
// stat, without reading it back. An edit that cannot be read, or that loses
// SSLKey, is not used: the running configuration stays, the reason is logged
// and the file is not written over until it can be read again. A usable edit
// replaces what it changed; firewall configurations the edit did not touch
// keep their newer state in memory (and are written again).
//
// Keys the program does not manage (hand-set ApiName, FlushDnsCache, other
// sections) are kept as they are. One instance per process; every public
// operation may be called from any thread and returns copies; signals are
// emitted without the lock held. The timer and the watcher live on the
// thread that created the instance (the main thread).
class Settings : public QObject
{
    Q_OBJECT
public:
    // The longest a stored configuration waits before it is written.
    static constexpr int SaveDelayMs = 1000;
    // After a failed write the file is tried again this much later.
    static constexpr int RetryDelayMs = 60000;

    static Settings *instance();
    static void destroy();

    GlobalConfiguration globalConfiguration() const;
    ServerConfiguration serverConfiguration() const;
    QStringList adConfigurationNames() const;
    ADConfiguration adConfiguration(const QString &name) const;
    QStringList enabledAdNames() const;

    void setADConfiguration(const ADConfiguration &config);
    // Written at once; false (and logged) when config.ini could not be written.
    bool setServerConfiguration(const ServerConfiguration &config);
    void removeADConfiguration(const QString &name);
    // Writes a pending save now; false when config.ini does not hold the
    // running configuration afterwards (write failed, or an unusable edit is kept).
    bool flush();

    QString toString() const;
    bool isWritable() const;
    QString configPath() const;
    // Why the file on disk is not used and not written over; empty when it is.
    QString heldReason() const;

    // Tests: the folder that stands for "beside the executable"; call before instance().
    static void setDirectoryForTest(const QString &directory);
    // Tests and benchmarks: how many times config.ini was written.
    int writeCountForTest() const;

signals:
    void serverConfigChanged();
    void adConfigChanged(const settings::ADConfiguration &config);
    void adConfigAdded(const settings::ADConfiguration &config);
    void configFileChanged();

private slots:
    void ponConfigFileChanged(const QString &path);
    void onSaveTimer();

private:
    // Keys of a group that the program does not manage, in file order, as
    // QSettings read them (key relative to the group, "/" between levels).
    using Keys = QVector<QPair<QString, QVariant>>;

    // One reading of config.ini.
    struct FileContent
    {
        GlobalConfiguration global;
        ServerConfiguration server;
        bool hasKey = false;
        QHash<QString, ADConfiguration> adConfigs;
        QHash<QString, Keys> adExtras; // by configuration name
        Keys globalExtras;
        Keys serverExtras;
        QMap<QString, Keys> otherGroups; // "" holds keys outside any group
        QString problem;                 // why it cannot be used as a whole; empty when it can
    };

    explicit Settings(const QString &directory);
    ~Settings() override;

    void writeDefaults();
    FileContent readFile() const;
    // Reads the file into the running configuration. True when the file's
    // content was taken (false: an unusable edit was kept out).
    bool loadLocked(bool atStart);
    void requestSaveLocked();
    bool writeLocked();
    QByteArray renderSection(const ADConfiguration &config, const Keys &extras) const;
    QByteArray renderFile() const;
    void setSectionLocked(const ADConfiguration &config);
    void scheduleSave(int delayMs);

    QHash<QString, ADConfiguration> m_adConfigs;
    GlobalConfiguration m_global;
    ServerConfiguration m_server;
    mutable QMutex m_mutex; // guards every field below except the watcher, the timer and the constants
    QFileSystemWatcher m_watcher;
    QRegExp m_sectionPattern;
    QString m_path;

    QHash<QString, Keys> m_adExtras;
    Keys m_globalExtras;
    Keys m_serverExtras;
    QMap<QString, Keys> m_otherGroups;
    // Rendered firewall sections of the running configuration, by group name
    // (sorted, as they are written).
    QMap<QString, QByteArray> m_sections;
    // The firewall sections as config.ini holds them now, by group name: what
    // an outside edit is compared with.
    QMap<QString, QByteArray> m_written;
    FileStamp m_stamp;    // config.ini as last read or written by the program
    bool m_dirty = false; // the running configuration differs from the file
    QString m_held;       // non-empty: the file holds an unusable edit, kept as it is
    bool m_savePending = false;
    int m_writeCount = 0;
    QTimer m_saveTimer; // owner's thread only
};

} // namespace settings
