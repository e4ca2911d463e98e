#include "settings/settings.h"

#include "log/applicationdebug.h"
#include "settings/initext.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <atomic>

namespace settings {

namespace {
std::atomic<Settings *> theInstance{nullptr};
QMutex instanceMutex;
QString directoryOverride; // tests only, set before the first instance()

const QString SectionPrefix = QStringLiteral("AD-");
const QString GlobalGroup = QStringLiteral("Global");
const QString ServerGroup = QStringLiteral("WebServer");

// Keys the program writes itself; everything else in these groups is kept as read.
const QSet<QString> GlobalKeys = {"VerboseLevel", "ADObsolescenceTimeout", "FirewallEnabled", "MaxThreadPool",
                                  "Lookup",       "DumpEnabled",           "DumpUrl"};
const QSet<QString> ServerKeys = {"Port", "SSLKey"};
const QSet<QString> FirewallKeys = {"FirewallName",
                                    "Enabled",
                                    "CollectInterval",
                                    "MaxLogonTime",
                                    "DnsEnabled",
                                    "DnsInterval",
                                    "MaxSecondToRead",
                                    "LastUtmConnection",
                                    "Fqdn",
                                    "Netbios",
                                    "SyslogState",
                                    "SyslogPort",
                                    "SyslogAddr",
                                    "SyslogAddrPattern",
                                    "SyslogUserPattern",
                                    "SyslogMsgPattern",
                                    "Probe/ProbeTimeout",
                                    "Probe/CacheTimeout",
                                    "Probe/MaxConcurrent",
                                    "Probe/Enabled",
                                    "Probe/Method",
                                    "Probe/PingTimeout"};

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

bool hasKey(const QVector<QPair<QString, QVariant>> &keys, const QString &key)
{
    return std::any_of(keys.cbegin(), keys.cend(), [&](const auto &pair) { return pair.first == key; });
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
    m_saveTimer.setSingleShot(true);
    connect(&m_saveTimer, &QTimer::timeout, this, &Settings::onSaveTimer);
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &Settings::ponConfigFileChanged);
    // Editors that save by writing a new file and renaming it over the old one
    // end the file's watch; the folder's watch sees the new file arrive.
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this,
            [this](const QString &) { ponConfigFileChanged(m_path); });
    m_watcher.addPath(directory);
    AtomicFile::removeLeftovers(m_path);

    QMutexLocker locker(&m_mutex);
    if (QFileInfo(m_path).isDir()) {
        ApplicationDebug::logLow(QStringLiteral("%1 is a directory, not a configuration file").arg(m_path));
    } else if (!QFileInfo::exists(m_path)) {
        writeDefaults();
    }
    loadLocked(true);
    if (QFileInfo(m_path).isFile())
        m_watcher.addPath(m_path);
}

Settings::~Settings()
{
    QMutexLocker locker(&m_mutex);
    if (m_dirty && m_held.isEmpty())
        writeLocked();
}

QString Settings::configPath() const
{
    return m_path;
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
    m_adExtras.clear();
    m_sections.clear();
    m_adConfigs.insert(config.name(), config);
    setSectionLocked(config);
    m_dirty = true;
    writeLocked();
}

Settings::FileContent Settings::readFile() const
{
    FileContent content;
    // A fresh reader each time, so that one bad reading does not colour the next.
    QSettings s(m_path, QSettings::IniFormat);
    if (s.status() == QSettings::AccessError)
        content.problem = QStringLiteral("access error");
    else if (s.status() == QSettings::FormatError)
        content.problem = QStringLiteral("format error");

    const QStringList topKeys = s.childKeys();
    for (const QString &key : topKeys)
        content.otherGroups[QString()].append({key, s.value(key)});

    s.beginGroup(GlobalGroup);
    GlobalConfiguration &global = content.global;
    global.VerboseLevel = GlobalConfiguration::verboseLevelFromText(
        s.value(QStringLiteral("VerboseLevel"), QStringLiteral("low")).toString());
    global.ADObsolescenceTimeout = s.value(QStringLiteral("ADObsolescenceTimeout"), 604800).toInt();
    global.FirewallEnabled = s.value(QStringLiteral("FirewallEnabled"), true).toBool();
    global.MaxThreadPool = s.value(QStringLiteral("MaxThreadPool"), 64).toInt();
    global.FlushDnsCache = s.value(QStringLiteral("FlushDnsCache"), false).toBool();
    global.DumpUrl = s.value(QStringLiteral("DumpUrl"), QString()).toString();
    global.Lookup = s.value(QStringLiteral("Lookup"), QStringLiteral("all")).toString();
    global.DumpEnabled = s.value(QStringLiteral("DumpEnabled"), false).toBool();
    global.RegistryAuthFile = s.value(QStringLiteral("RegistryAuthFile"), QString()).toString();
    global.MetricsAddress = s.value(QStringLiteral("MetricsAddress"), QString()).toString();
    for (const QString &key : s.allKeys()) {
        if (!GlobalKeys.contains(key))
            content.globalExtras.append({key, s.value(key)});
    }
    s.endGroup();
    if (global.Lookup != QLatin1String("all") && global.Lookup != QLatin1String("llmnr") &&
        global.Lookup != QLatin1String("dns")) {
        ApplicationDebug::logLow(QStringLiteral("lookup protocol must be all, dns or llmnr"));
        global.Lookup = QStringLiteral("all");
    }

    s.beginGroup(ServerGroup);
    content.hasKey = s.contains(QStringLiteral("SSLKey"));
    content.server.Port = s.value(QStringLiteral("Port"), 1301).toInt();
    content.server.SSLKey = s.value(QStringLiteral("SSLKey"), QStringLiteral("nil key")).toString();
    for (const QString &key : s.allKeys()) {
        if (!ServerKeys.contains(key))
            content.serverExtras.append({key, s.value(key)});
    }
    s.endGroup();

    const QStringList groups = s.childGroups();
    for (const QString &group : groups) {
        if (group == GlobalGroup || group == ServerGroup)
            continue;
        s.beginGroup(group);
        if (!m_sectionPattern.exactMatch(group)) {
            Keys &keys = content.otherGroups[group];
            for (const QString &key : s.allKeys())
                keys.append({key, s.value(key)});
            s.endGroup();
            continue;
        }
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

        Keys extras;
        for (const QString &key : s.allKeys()) {
            if (!FirewallKeys.contains(key) && !key.startsWith(QLatin1String("Servers/")) &&
                !key.startsWith(QLatin1String("IgnoreList/")))
                extras.append({key, s.value(key)});
        }
        s.endGroup();

        // A later section of the same name wins.
        content.adConfigs.insert(config.name(), config);
        content.adExtras.insert(config.name(), extras);
    }
    return content;
}

bool Settings::loadLocked(bool atStart)
{
    const FileStamp before = FileStamp::of(m_path);
    FileContent file = readFile();
    QString problem = file.problem.isEmpty() ? QString() : QStringLiteral("cannot be read (%1)").arg(file.problem);
    // Without SSLKey the default key would apply: an edit must not open the door.
    if (problem.isEmpty() && !atStart && !file.hasKey)
        problem = QStringLiteral("has no SSLKey in [WebServer]");
    m_stamp = before;
    if (!problem.isEmpty() && !atStart) {
        m_held = problem;
        ApplicationDebug::logLow(QStringLiteral("%1 was changed but %2: the running configuration is kept, and the "
                                                "file is not written over until it can be used")
                                     .arg(m_path, problem));
        return false;
    }
    if (!problem.isEmpty()) {
        ApplicationDebug::logLow(QStringLiteral("%1 could not be read completely (%2), using what was readable; "
                                                "the file is not written over until it can be read")
                                     .arg(m_path, file.problem));
    }
    m_held = problem;

    QMap<QString, QByteArray> fileSections;
    for (auto it = file.adConfigs.cbegin(); it != file.adConfigs.cend(); ++it)
        fileSections.insert(groupOf(it.key()), renderSection(it.value(), file.adExtras.value(it.key())));
    m_global = file.global;
    m_server = file.server;
    m_globalExtras = file.globalExtras;
    m_serverExtras = file.serverExtras;
    m_otherGroups = file.otherGroups;

    if (atStart) {
        m_adConfigs = file.adConfigs;
        m_adExtras = file.adExtras;
        m_sections = fileSections;
        m_written = fileSections;
        m_dirty = false;
        return true;
    }

    // What the edit changed comes from the file; what it did not touch keeps
    // the running state, which may be newer than the file (a save pending).
    QSet<QString> names;
    for (auto it = m_adConfigs.cbegin(); it != m_adConfigs.cend(); ++it)
        names.insert(it.key());
    for (auto it = file.adConfigs.cbegin(); it != file.adConfigs.cend(); ++it)
        names.insert(it.key());
    for (const QString &name : qAsConst(names)) {
        const QString group = groupOf(name);
        const auto base = m_written.constFind(group);
        const auto edited = fileSections.constFind(group);
        const bool untouched = base == m_written.cend() ? edited == fileSections.cend()
                                                        : (edited != fileSections.cend() && *base == *edited);
        if (untouched)
            continue;
        if (edited != fileSections.cend()) {
            m_adConfigs.insert(name, file.adConfigs.value(name));
            m_adExtras.insert(name, file.adExtras.value(name));
            m_sections.insert(group, *edited);
        } else {
            m_adConfigs.remove(name);
            m_adExtras.remove(name);
            m_sections.remove(group);
        }
    }
    m_written = fileSections;
    m_dirty = m_sections != fileSections;
    if (m_dirty)
        requestSaveLocked();
    return true;
}

QByteArray Settings::renderSection(const ADConfiguration &c, const Keys &extras) const
{
    QByteArray text = IniText::sectionHeader(groupOf(c.name()));
    text += IniText::line(QStringLiteral("FirewallName"), c.firewallName());
    for (int i = 0; i < c.servers().size(); ++i)
        text += IniText::line(QStringLiteral("Servers/%1/ips").arg(i + 1), c.servers().at(i));
    text += IniText::line(QStringLiteral("Servers/size"), c.servers().size());
    for (int i = 0; i < c.ignoreList().size(); ++i)
        text += IniText::line(QStringLiteral("IgnoreList/%1/user").arg(i + 1), c.ignoreList().at(i));
    text += IniText::line(QStringLiteral("IgnoreList/size"), c.ignoreList().size());
    text += IniText::line(QStringLiteral("Enabled"), c.enabled());
    text += IniText::line(QStringLiteral("CollectInterval"), c.collectInterval());
    text += IniText::line(QStringLiteral("MaxLogonTime"), c.maxLogonTime());
    text += IniText::line(QStringLiteral("DnsEnabled"), c.dnsEnabled());
    text += IniText::line(QStringLiteral("DnsInterval"), c.dnsInterval());
    text += IniText::line(QStringLiteral("MaxSecondToRead"), c.maxSecondToRead());
    text += IniText::line(QStringLiteral("LastUtmConnection"), isoText(c.lastUtmConnection()));
    text += IniText::line(QStringLiteral("Fqdn"), c.fqdn());
    text += IniText::line(QStringLiteral("Netbios"), c.netbios());
    text += IniText::line(QStringLiteral("SyslogState"), c.syslogState());
    text += IniText::line(QStringLiteral("SyslogPort"), c.syslogPort());
    text += IniText::line(QStringLiteral("SyslogAddr"), c.syslogAddr());
    text += IniText::line(QStringLiteral("SyslogAddrPattern"), c.syslogAddrPattern());
    text += IniText::line(QStringLiteral("SyslogUserPattern"), c.syslogUserPattern());
    text += IniText::line(QStringLiteral("SyslogMsgPattern"), c.syslogMsgPattern());
    text += IniText::line(QStringLiteral("Probe/ProbeTimeout"), c.probeTimeout());
    text += IniText::line(QStringLiteral("Probe/CacheTimeout"), c.cacheTimeout());
    text += IniText::line(QStringLiteral("Probe/MaxConcurrent"), c.maxConcurrent());
    text += IniText::line(QStringLiteral("Probe/Enabled"), c.probeEnabled());
    text += IniText::line(QStringLiteral("Probe/Method"), ADConfiguration::probeMethodToText(c.method()));
    text += IniText::line(QStringLiteral("Probe/PingTimeout"), c.pingTimeout());
    for (const auto &extra : extras)
        text += IniText::line(extra.first, extra.second);
    // ApiName and UserCheckFrequency are only ever set by hand; when the
    // configuration moves to a new section they must come along.
    if (!c.apiName().isEmpty() && !hasKey(extras, QStringLiteral("ApiName")))
        text += IniText::line(QStringLiteral("ApiName"), c.apiName());
    if (c.userCheckFrequency() != 6 && !hasKey(extras, QStringLiteral("Probe/UserCheckFrequency")))
        text += IniText::line(QStringLiteral("Probe/UserCheckFrequency"), c.userCheckFrequency());
    return text;
}

QByteArray Settings::renderFile() const
{
    QByteArray global = IniText::sectionHeader(GlobalGroup);
    global +=
        IniText::line(QStringLiteral("VerboseLevel"), GlobalConfiguration::verboseLevelToText(m_global.VerboseLevel));
    global += IniText::line(QStringLiteral("ADObsolescenceTimeout"), m_global.ADObsolescenceTimeout);
    global += IniText::line(QStringLiteral("FirewallEnabled"), m_global.FirewallEnabled);
    global += IniText::line(QStringLiteral("MaxThreadPool"), m_global.MaxThreadPool);
    global += IniText::line(QStringLiteral("Lookup"), m_global.Lookup);
    global += IniText::line(QStringLiteral("DumpEnabled"), m_global.DumpEnabled);
    global += IniText::line(QStringLiteral("DumpUrl"), m_global.DumpUrl);
    for (const auto &extra : m_globalExtras)
        global += IniText::line(extra.first, extra.second);

    QByteArray server = IniText::sectionHeader(ServerGroup);
    server += IniText::line(QStringLiteral("Port"), m_server.Port);
    server += IniText::line(QStringLiteral("SSLKey"), m_server.SSLKey);
    for (const auto &extra : m_serverExtras)
        server += IniText::line(extra.first, extra.second);

    auto group = [](const QString &name, const Keys &keys) {
        QByteArray text = IniText::sectionHeader(name);
        for (const auto &key : keys)
            text += IniText::line(key.first, key.second);
        return text;
    };
    QByteArrayList sections;
    sections.reserve(m_sections.size() + m_otherGroups.size() + 2);
    if (m_otherGroups.contains(QString()))
        sections.append(group(QString(), m_otherGroups.value(QString())));
    sections.append(global);
    sections.append(server);
    for (auto it = m_otherGroups.cbegin(); it != m_otherGroups.cend(); ++it) {
        if (!it.key().isEmpty())
            sections.append(group(it.key(), it.value()));
    }
    for (const QByteArray &section : m_sections)
        sections.append(section);
    return sections.join('\n');
}

void Settings::setSectionLocked(const ADConfiguration &config)
{
    m_sections.insert(groupOf(config.name()), renderSection(config, m_adExtras.value(config.name())));
}

void Settings::requestSaveLocked()
{
    m_dirty = true;
    if (m_savePending)
        return;
    m_savePending = true;
    scheduleSave(SaveDelayMs);
}

void Settings::scheduleSave(int delayMs)
{
    auto start = [this, delayMs] {
        if (!m_saveTimer.isActive() || m_saveTimer.remainingTime() > delayMs)
            m_saveTimer.start(delayMs);
    };
    if (QThread::currentThread() == thread())
        start();
    else
        QMetaObject::invokeMethod(this, start, Qt::QueuedConnection);
}

bool Settings::writeLocked()
{
    if (!m_held.isEmpty())
        return false;
    QString error;
    FileStamp stamp;
    std::optional<QByteArray> displaced;
    if (!AtomicFile::replace(m_path, renderFile(), &error, &stamp, &m_stamp, &displaced)) {
        ApplicationDebug::logLow(
            QStringLiteral("%1 could not be written (error: %2); the file on disk is unchanged").arg(m_path, error));
        m_dirty = true;
        if (!m_savePending) {
            m_savePending = true;
            scheduleSave(RetryDelayMs);
        }
        return false;
    }
    ++m_writeCount;
    if (displaced) {
        // An outside edit arrived while this save was under way. It goes back
        // in place and is read like any edit (against what was on disk before
        // this save); what this save held is written again after it.
        if (!AtomicFile::replace(m_path, *displaced, &error)) {
            ApplicationDebug::logLow(QStringLiteral("%1 was edited while the program saved it, and the edit could not "
                                                    "be put back (error: %2)")
                                         .arg(m_path, error));
        } else {
            ApplicationDebug::logLow(
                QStringLiteral("%1 was edited while the program saved it: the edit is kept and read in").arg(m_path));
            m_stamp = FileStamp();
            m_dirty = true;
            if (!m_savePending) {
                m_savePending = true;
                scheduleSave(SaveDelayMs);
            }
            return false;
        }
    }
    m_stamp = stamp;
    m_written = m_sections;
    m_dirty = false;
    return true;
}

void Settings::onSaveTimer()
{
    bool reloaded = false;
    {
        QMutexLocker locker(&m_mutex);
        m_savePending = false;
        // An outside edit that the watcher has not reported yet is taken in
        // first, never written over.
        if (QFileInfo(m_path).isFile() && FileStamp::of(m_path) != m_stamp)
            reloaded = loadLocked(false);
        if (m_dirty)
            writeLocked();
    }
    if (reloaded)
        emit configFileChanged();
}

bool Settings::flush()
{
    QMutexLocker locker(&m_mutex);
    if (!m_held.isEmpty()) {
        if (m_dirty)
            ApplicationDebug::logLow(QStringLiteral("%1 is not written: it %2").arg(m_path, m_held));
        return false;
    }
    return !m_dirty || writeLocked();
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
        setSectionLocked(config);
        requestSaveLocked();
        locker.unlock();
        emit adConfigAdded(config);
        return;
    }
    const ADConfiguration old = *existing;
    *existing = config;
    const QString group = groupOf(config.name());
    const QByteArray before = m_sections.value(group);
    setSectionLocked(config);
    if (m_sections.value(group) != before)
        requestSaveLocked();
    locker.unlock();
    if (old != config)
        emit adConfigChanged(config);
}

bool Settings::setServerConfiguration(const ServerConfiguration &config)
{
    QMutexLocker locker(&m_mutex);
    m_server = config;
    m_dirty = true;
    bool written = false;
    if (m_held.isEmpty())
        written = writeLocked();
    else
        ApplicationDebug::logLow(QStringLiteral("%1 is not written: it %2").arg(m_path, m_held));
    locker.unlock();
    emit serverConfigChanged();
    return written;
}

void Settings::removeADConfiguration(const QString &name)
{
    QMutexLocker locker(&m_mutex);
    m_adConfigs.remove(name);
    m_adExtras.remove(name);
    m_sections.remove(groupOf(name));
    requestSaveLocked();
}

QString Settings::toString() const
{
    QMutexLocker locker(&m_mutex);
    QString text = m_global.toString() + m_server.toString();
    // By name: a hash's order depends on what it held before, and two
    // dumps of the same configuration should read the same.
    QStringList names = m_adConfigs.keys();
    names.sort();
    for (const QString &name : names)
        text += m_adConfigs.value(name).toString();
    return text;
}

bool Settings::isWritable() const
{
    return AtomicFile::isWritable(m_path);
}

QString Settings::heldReason() const
{
    QMutexLocker locker(&m_mutex);
    return m_held;
}

int Settings::writeCountForTest() const
{
    QMutexLocker locker(&m_mutex);
    return m_writeCount;
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
    bool reloaded = false;
    {
        QMutexLocker locker(&m_mutex);
        // The program's own write, or an edit already seen.
        if (FileStamp::of(m_path) == m_stamp)
            return;
        reloaded = loadLocked(false);
    }
    if (reloaded)
        emit configFileChanged();
}

} // namespace settings
