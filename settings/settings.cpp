#include "settings/settings.h"

#include "log/applicationdebug.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QUrl>
#include <algorithm>
#include <atomic>

namespace settings {

namespace {
std::atomic<Settings *> theInstance{nullptr};
QMutex instanceMutex;
QString directoryOverride; // tests only, set before the first instance()

const QString SectionPrefix = QStringLiteral("AD-");

// Firewall names come from the network. Percent-encoding everything outside
// [A-Za-z0-9-._~] keeps "/" (QSettings' group separator), "\", brackets and
// control characters from changing the file's structure; plain serial
// numbers are left as they are.
QString groupOf(const QString &name)
{
    return SectionPrefix + QString::fromLatin1(QUrl::toPercentEncoding(name));
}

// The elements of an array that are really in the file, in order. The size
// entry alone is not trusted: a hand-edited "size=99999999" must not make the
// loader walk (and log) a hundred million missing elements.
QList<int> arrayIndexes(QSettings &s, const QString &array)
{
    const int size = s.value(array + QStringLiteral("/size"), 0).toInt();
    s.beginGroup(array);
    const QStringList present = s.childGroups();
    s.endGroup();
    QList<int> indexes;
    for (const QString &element : present) {
        bool ok = false;
        const int number = element.toInt(&ok);
        if (ok && number >= 1 && number <= size)
            indexes.append(number - 1);
    }
    std::sort(indexes.begin(), indexes.end());
    return indexes;
}

QString isoText(const QDateTime &time)
{
    return time.isValid() ? time.toString(Qt::ISODate) : QString();
}
} // namespace

Settings *Settings::instance()
{
    Settings *settings = theInstance.load();
    if (settings)
        return settings;
    QMutexLocker locker(&instanceMutex);
    settings = theInstance.load();
    if (!settings) {
        const QString directory =
            directoryOverride.isEmpty() ? QCoreApplication::applicationDirPath() : directoryOverride;
        settings = new Settings(directory);
        theInstance.store(settings);
    }
    return settings;
}

void Settings::destroy()
{
    QMutexLocker locker(&instanceMutex);
    delete theInstance.exchange(nullptr);
}

void Settings::setDirectoryForTest(const QString &directory)
{
    QMutexLocker locker(&instanceMutex);
    directoryOverride = directory;
}

Settings::Settings(const QString &directory)
    : m_sectionPattern(QStringLiteral("^") + QStringLiteral("AD") + QStringLiteral("-(.*)$")),
      m_path(QStringLiteral("%1/config.ini").arg(directory))
{
    m_settings = new QSettings(m_path, QSettings::IniFormat, this);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &Settings::ponConfigFileChanged);
    // Editors that save by writing a new file and renaming it over the old one
    // end the file's watch; the folder's watch sees the new file arrive.
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this,
            [this](const QString &) { ponConfigFileChanged(m_path); });
    m_watcher.addPath(directory);

    if (QFileInfo(m_path).isDir()) {
        ApplicationDebug::logLow(QStringLiteral("%1 is a directory, not a configuration file").arg(m_path));
    } else if (!QFileInfo::exists(m_path)) {
        QMutexLocker locker(&m_mutex);
        writeDefaults();
    }
    load();
}

Settings::~Settings() = default;

QString Settings::configPath() const
{
    return m_path;
}

// Removing and re-adding an inotify watch around every read or write loses
// the watch when the kernel's late "ignored" event for the old watch arrives
// after the new one was added. So the file stays watched, and a notification
// whose content is what the program itself last read or wrote is not an
// outside edit.
void Settings::watch()
{
    m_knownContent = fileFingerprint();
    if (!m_watcher.files().contains(m_path) && QFileInfo(m_path).isFile())
        m_watcher.addPath(m_path);
}

QByteArray Settings::fileFingerprint() const
{
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

void Settings::writeDefaults()
{
    m_global = GlobalConfiguration();
    m_global.VerboseLevel = GlobalConfiguration::VerboseLow;
    m_global.ADObsolescenceTimeout = 604800;
    m_global.FirewallEnabled = true;
    m_global.MaxThreadPool = 64;
    m_global.Lookup = QStringLiteral("all");
    m_global.DumpUrl.clear();
    m_global.DumpEnabled = false;
    m_server.Port = 1301;
    m_server.SSLKey = QStringLiteral("nil key");

    ADConfiguration config(QStringLiteral("fake_fw"));
    config.setServers({QStringLiteral("127.0.0.1")});
    config.setIgnoreList({QStringLiteral("Administrator")});
    config.setEnabled(false);
    config.setCollectInterval(5);
    config.setMaxLogonTime(28800);
    config.setMaxSecondToRead(900);
    config.setDnsEnabled(true);
    config.setDnsInterval(60);
    config.setSyslogState(false);
    config.setSyslogPort(514);
    config.setSyslogAddr(QStringLiteral("any"));
    config.setProbeEnabled(true);
    config.setMethod(ADConfiguration::ProbePing);
    config.setProbeTimeout(600);
    config.setCacheTimeout(86400);
    config.setMaxConcurrent(20);
    config.setUserCheckFrequency(6);
    config.setPingTimeout(1000);
    m_adConfigs.clear();
    m_adConfigs.insert(config.name(), config);
    save();
}

void Settings::load()
{
    QMutexLocker locker(&m_mutex);
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError) {
        ApplicationDebug::logLow(QStringLiteral("%1 could not be read completely (%2), using what was readable")
                                     .arg(m_path, m_settings->status() == QSettings::AccessError
                                                      ? QStringLiteral("access error")
                                                      : QStringLiteral("format error")));
    }
    QSettings &s = *m_settings;

    s.beginGroup(QStringLiteral("Global"));
    m_global.VerboseLevel = GlobalConfiguration::verboseLevelFromText(
        s.value(QStringLiteral("VerboseLevel"), QStringLiteral("low")).toString());
    m_global.ADObsolescenceTimeout = s.value(QStringLiteral("ADObsolescenceTimeout"), 604800).toInt();
    m_global.FirewallEnabled = s.value(QStringLiteral("FirewallEnabled"), true).toBool();
    m_global.MaxThreadPool = s.value(QStringLiteral("MaxThreadPool"), 64).toInt();
    m_global.FlushDnsCache = s.value(QStringLiteral("FlushDnsCache"), false).toBool();
    m_global.DumpUrl = s.value(QStringLiteral("DumpUrl"), QString()).toString();
    m_global.Lookup = s.value(QStringLiteral("Lookup"), QStringLiteral("all")).toString();
    m_global.DumpEnabled = s.value(QStringLiteral("DumpEnabled"), false).toBool();
    m_global.RegistryAuthFile = s.value(QStringLiteral("RegistryAuthFile"), QString()).toString();
    s.endGroup();
    if (m_global.Lookup != QLatin1String("all") && m_global.Lookup != QLatin1String("llmnr") &&
        m_global.Lookup != QLatin1String("dns")) {
        ApplicationDebug::logLow(QStringLiteral("lookup protocol must be all, dns or llmnr"));
        m_global.Lookup = QStringLiteral("all");
    }

    s.beginGroup(QStringLiteral("WebServer"));
    m_server.Port = s.value(QStringLiteral("Port"), 1301).toInt();
    m_server.SSLKey = s.value(QStringLiteral("SSLKey"), QStringLiteral("nil key")).toString();
    s.endGroup();

    m_adConfigs.clear();
    const QStringList groups = s.childGroups();
    for (const QString &group : groups) {
        if (!m_sectionPattern.exactMatch(group))
            continue;
        s.beginGroup(group);
        const QString firewallName = s.value(QStringLiteral("FirewallName"), QStringLiteral("fake_fw")).toString();

        QStringList servers;
        const QList<int> serverIndexes = arrayIndexes(s, QStringLiteral("Servers"));
        s.beginReadArray(QStringLiteral("Servers"));
        for (int i : serverIndexes) {
            s.setArrayIndex(i);
            const QString ip = s.value(QStringLiteral("ips")).toString();
            if (QHostAddress(ip).isNull()) {
                ApplicationDebug::logLow(QStringLiteral("Server must be an ip"));
                continue;
            }
            servers.append(ip);
        }
        s.endArray();

        QStringList ignoreList;
        const QList<int> ignoreIndexes = arrayIndexes(s, QStringLiteral("IgnoreList"));
        s.beginReadArray(QStringLiteral("IgnoreList"));
        for (int i : ignoreIndexes) {
            s.setArrayIndex(i);
            ignoreList.append(s.value(QStringLiteral("user")).toString());
        }
        s.endArray();

        ADConfiguration config(firewallName);
        config.setServers(servers);
        config.setIgnoreList(ignoreList);
        config.setEnabled(s.value(QStringLiteral("Enabled"), false).toBool());
        config.setCollectInterval(s.value(QStringLiteral("CollectInterval"), 5).toUInt());
        config.setMaxLogonTime(s.value(QStringLiteral("MaxLogonTime"), 28800).toUInt());
        config.setMaxSecondToRead(s.value(QStringLiteral("MaxSecondToRead"), 900).toUInt());
        config.setApiName(s.value(QStringLiteral("ApiName"), QString()).toString());
        config.setDnsInterval(s.value(QStringLiteral("DnsInterval"), 60).toUInt());
        config.setDnsEnabled(s.value(QStringLiteral("DnsEnabled"), true).toBool());
        config.setLastUtmConnection(
            QDateTime::fromString(s.value(QStringLiteral("LastUtmConnection"), QString()).toString(), Qt::ISODate));
        config.setFqdn(s.value(QStringLiteral("Fqdn"), QString()).toString());
        config.setNetbios(s.value(QStringLiteral("Netbios"), QString()).toString());
        config.setSyslogState(s.value(QStringLiteral("SyslogState"), false).toBool());
        config.setSyslogPort(s.value(QStringLiteral("SyslogPort"), 514).toUInt());
        config.setSyslogAddr(s.value(QStringLiteral("SyslogAddr"), QStringLiteral("any")).toString());
        config.setSyslogAddrPattern(s.value(QStringLiteral("SyslogAddrPattern"), QString()).toString());
        config.setSyslogUserPattern(s.value(QStringLiteral("SyslogUserPattern"), QString()).toString());
        config.setSyslogMsgPattern(s.value(QStringLiteral("SyslogMsgPattern"), QString()).toString());
        s.beginGroup(QStringLiteral("Probe"));
        config.setProbeEnabled(s.value(QStringLiteral("Enabled"), true).toBool());
        config.setProbeTimeout(s.value(QStringLiteral("ProbeTimeout"), 600).toUInt());
        config.setCacheTimeout(s.value(QStringLiteral("CacheTimeout"), 86400).toUInt());
        config.setMaxConcurrent(s.value(QStringLiteral("MaxConcurrent"), 20).toUInt());
        config.setUserCheckFrequency(s.value(QStringLiteral("UserCheckFrequency"), 6).toUInt());
        config.setMethod(ADConfiguration::probeMethodFromText(s.value(QStringLiteral("Method")).toString()));
        config.setPingTimeout(s.value(QStringLiteral("PingTimeout"), 1000).toUInt());
        s.endGroup();
        s.endGroup();

        m_adConfigs.insert(config.name(), config);
    }
    watch();
}

void Settings::save()
{
    QSettings &s = *m_settings;

    s.beginGroup(QStringLiteral("Global"));
    s.setValue(QStringLiteral("VerboseLevel"), GlobalConfiguration::verboseLevelToText(m_global.VerboseLevel));
    s.setValue(QStringLiteral("ADObsolescenceTimeout"), m_global.ADObsolescenceTimeout);
    s.setValue(QStringLiteral("FirewallEnabled"), m_global.FirewallEnabled);
    s.setValue(QStringLiteral("MaxThreadPool"), m_global.MaxThreadPool);
    s.setValue(QStringLiteral("Lookup"), m_global.Lookup);
    s.setValue(QStringLiteral("DumpEnabled"), m_global.DumpEnabled);
    s.setValue(QStringLiteral("DumpUrl"), m_global.DumpUrl);
    s.endGroup();

    s.beginGroup(QStringLiteral("WebServer"));
    s.setValue(QStringLiteral("Port"), m_server.Port);
    s.setValue(QStringLiteral("SSLKey"), m_server.SSLKey);
    s.endGroup();

    // Sections of configurations no longer in the table go; so does a section
    // whose name is not the one its configuration is written under now.
    QSet<QString> wanted;
    for (const QString &name : m_adConfigs.keys())
        wanted.insert(groupOf(name));
    const QStringList groups = s.childGroups();
    for (const QString &group : groups) {
        if (m_sectionPattern.exactMatch(group) && !wanted.contains(group))
            s.remove(group);
    }

    for (const ADConfiguration &config : qAsConst(m_adConfigs)) {
        s.beginGroup(groupOf(config.name()));
        s.remove(QStringLiteral("Servers"));
        s.beginWriteArray(QStringLiteral("Servers"), config.servers().size());
        for (int i = 0; i < config.servers().size(); ++i) {
            s.setArrayIndex(i);
            s.setValue(QStringLiteral("ips"), config.servers().at(i));
        }
        s.endArray();
        s.remove(QStringLiteral("IgnoreList"));
        s.beginWriteArray(QStringLiteral("IgnoreList"), config.ignoreList().size());
        for (int i = 0; i < config.ignoreList().size(); ++i) {
            s.setArrayIndex(i);
            s.setValue(QStringLiteral("user"), config.ignoreList().at(i));
        }
        s.endArray();
        // ApiName and UserCheckFrequency are only ever set by hand; when the
        // configuration moves to a new section they must come along.
        if (!config.apiName().isEmpty() && !s.contains(QStringLiteral("ApiName")))
            s.setValue(QStringLiteral("ApiName"), config.apiName());
        if (config.userCheckFrequency() != 6 && !s.contains(QStringLiteral("Probe/UserCheckFrequency")))
            s.setValue(QStringLiteral("Probe/UserCheckFrequency"), config.userCheckFrequency());
        s.setValue(QStringLiteral("FirewallName"), config.firewallName());
        s.setValue(QStringLiteral("Enabled"), config.enabled());
        s.setValue(QStringLiteral("CollectInterval"), config.collectInterval());
        s.setValue(QStringLiteral("MaxLogonTime"), config.maxLogonTime());
        s.setValue(QStringLiteral("DnsEnabled"), config.dnsEnabled());
        s.setValue(QStringLiteral("DnsInterval"), config.dnsInterval());
        s.setValue(QStringLiteral("MaxSecondToRead"), config.maxSecondToRead());
        s.setValue(QStringLiteral("LastUtmConnection"), isoText(config.lastUtmConnection()));
        s.setValue(QStringLiteral("Fqdn"), config.fqdn());
        s.setValue(QStringLiteral("Netbios"), config.netbios());
        s.setValue(QStringLiteral("SyslogState"), config.syslogState());
        s.setValue(QStringLiteral("SyslogPort"), config.syslogPort());
        s.setValue(QStringLiteral("SyslogAddr"), config.syslogAddr());
        s.setValue(QStringLiteral("SyslogAddrPattern"), config.syslogAddrPattern());
        s.setValue(QStringLiteral("SyslogUserPattern"), config.syslogUserPattern());
        s.setValue(QStringLiteral("SyslogMsgPattern"), config.syslogMsgPattern());
        s.beginGroup(QStringLiteral("Probe"));
        s.setValue(QStringLiteral("ProbeTimeout"), config.probeTimeout());
        s.setValue(QStringLiteral("CacheTimeout"), config.cacheTimeout());
        s.setValue(QStringLiteral("MaxConcurrent"), config.maxConcurrent());
        s.setValue(QStringLiteral("Enabled"), config.probeEnabled());
        s.setValue(QStringLiteral("Method"), ADConfiguration::probeMethodToText(config.method()));
        s.setValue(QStringLiteral("PingTimeout"), config.pingTimeout());
        s.endGroup();
        s.endGroup();
    }

    // QSettings writes a new file and renames it over the old one, so a crash
    // never leaves half a config.ini behind.
    s.sync();
    if (s.status() == QSettings::AccessError)
        ApplicationDebug::logLow(QStringLiteral("%1 could not be written").arg(m_path));
    watch();
}

GlobalConfiguration Settings::globalConfiguration() const
{
    QMutexLocker locker(&m_mutex);
    return m_global;
}

ServerConfiguration Settings::serverConfiguration() const
{
    QMutexLocker locker(&m_mutex);
    return m_server;
}

QStringList Settings::adConfigurationNames() const
{
    QMutexLocker locker(&m_mutex);
    return m_adConfigs.keys();
}

ADConfiguration Settings::adConfiguration(const QString &name) const
{
    QMutexLocker locker(&m_mutex);
    return m_adConfigs.value(name, ADConfiguration(QString()));
}

QStringList Settings::enabledAdNames() const
{
    QMutexLocker locker(&m_mutex);
    QStringList names;
    for (auto it = m_adConfigs.cbegin(); it != m_adConfigs.cend(); ++it) {
        if (it->enabled() && !names.contains(it->adName()))
            names.append(it->adName());
    }
    return names;
}

void Settings::setADConfiguration(const ADConfiguration &config)
{
    QMutexLocker locker(&m_mutex);
    if (!config.isValid())
        return;
    auto existing = m_adConfigs.find(config.name());
    if (existing == m_adConfigs.end()) {
        m_adConfigs.insert(config.name(), config);
        save();
        locker.unlock();
        emit adConfigAdded(config);
        return;
    }
    const ADConfiguration old = *existing;
    *existing = config;
    save();
    locker.unlock();
    if (old != config)
        emit adConfigChanged(config);
}

void Settings::setServerConfiguration(const ServerConfiguration &config)
{
    QMutexLocker locker(&m_mutex);
    m_server = config;
    save();
    locker.unlock();
    emit serverConfigChanged();
}

void Settings::removeADConfiguration(const QString &name)
{
    QMutexLocker locker(&m_mutex);
    m_adConfigs.remove(name);
    save();
}

QString Settings::toString() const
{
    QMutexLocker locker(&m_mutex);
    QString text = m_global.toString() + m_server.toString();
    for (const ADConfiguration &config : m_adConfigs)
        text += config.toString();
    return text;
}

bool Settings::isWritable() const
{
    QMutexLocker locker(&m_mutex);
    return m_settings->isWritable() && !QFileInfo(m_path).isDir();
}

void Settings::ponConfigFileChanged(const QString &path)
{
    if (path != m_path)
        return;
    // Editors that replace the file end its watch; watch the new file. One
    // that deletes and then creates leaves it briefly missing: the folder's
    // watch reloads it when it is back instead of emptying the configuration.
    if (!QFileInfo(m_path).isFile())
        return;
    if (!m_watcher.files().contains(m_path))
        m_watcher.addPath(m_path);
    {
        QMutexLocker locker(&m_mutex);
        if (fileFingerprint() == m_knownContent)
            return;
    }
    load();
    emit configFileChanged();
}

} // namespace settings
