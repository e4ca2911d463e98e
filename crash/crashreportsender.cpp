#include "crash/crashreportsender.h"

#include "common/clock.h"
#include "crash/crashhandler.h"
#include "log/applicationdebug.h"

#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
#include <QSet>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace crash {

const char *const CrashReportSender::CheckpointFileName = "checkpoint";

struct CrashReportSender::Report
{
    QString fileName; // "<id>.dmp"
    QString id;
    qint64 modified = 0; // seconds since the epoch
};

namespace {

// A report is a few hundred kilobytes; anything far bigger is not ours.
const qint64 MaxReportBytes = 64 * 1024 * 1024;

QString systemError(int error)
{
    return QStringLiteral("%1 (error: %2)").arg(QString::fromLocal8Bit(std::strerror(error))).arg(error);
}

// Closes a descriptor at the end of a scope.
class FdGuard
{
public:
    explicit FdGuard(int fd) : m_fd(fd) {}
    ~FdGuard()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Reads a report without following links: only a plain file of our own user.
bool readReport(int folder, const QString &fileName, QByteArray *content, QString *reason)
{
    const FdGuard fd(::openat(folder, QFile::encodeName(fileName).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info = {};
    if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
        *reason = systemError(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || info.st_size > MaxReportBytes) {
        *reason = QStringLiteral("not a report of this agent");
        return false;
    }
    content->clear();
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *reason = systemError(errno);
            return false;
        }
        if (got == 0)
            return true;
        content->append(chunk, int(got));
        if (content->size() > MaxReportBytes) {
            *reason = QStringLiteral("not a report of this agent");
            return false;
        }
    }
}

int onProgress(void *abort, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<std::atomic<bool> *>(abort)->load() ? 1 : 0;
}

size_t discardAnswer(char *, size_t size, size_t count, void *)
{
    return size * count;
}

} // namespace

CrashReportSender::CrashReportSender(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    if (QCoreApplication *application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, this, &CrashReportSender::stop);
}

CrashReportSender::~CrashReportSender()
{
    stop();
}

void CrashReportSender::start()
{
    if (m_thread.joinable())
        return;
    // libcurl's global set-up is not thread-safe: done once, here on the main thread.
    static std::once_flag curlReady;
    std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    m_abort.store(false);
    m_thread = std::thread([this] { run(); });
}

void CrashReportSender::stop()
{
    m_abort.store(true);
    if (m_thread.joinable())
        m_thread.join();
}

void CrashReportSender::run()
{
    const QString folderPath = m_options.dumpDirectory;
    const FdGuard folder(
        ::open(QFile::encodeName(folderPath).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() < 0) {
        if (errno != ENOENT)
            ApplicationDebug::logLow(
                QStringLiteral("Unable to read crash reports in %1: %2").arg(folderPath, systemError(errno)));
        return;
    }
    struct stat folderInfo = {};
    if (::fstat(folder.get(), &folderInfo) != 0 || folderInfo.st_uid != ::geteuid() ||
        (folderInfo.st_mode & (S_IWGRP | S_IWOTH))) {
        ApplicationDebug::logLow(
            QStringLiteral("Crash reports in %1 ignored: the folder belongs to another user or others may write to it")
                .arg(folderPath));
        return;
    }
    // Two agents sharing the temporary folder must not send the same report.
    if (::flock(folder.get(), LOCK_EX | LOCK_NB) != 0) {
        ApplicationDebug::logHigh(
            QStringLiteral("Crash reports in %1 left to the other agent that is sending them").arg(folderPath));
        return;
    }

    std::vector<Report> reports;
    {
        DIR *listing = ::fdopendir(::dup(folder.get()));
        if (!listing) {
            ApplicationDebug::logLow(
                QStringLiteral("Unable to read crash reports in %1: %2").arg(folderPath, systemError(errno)));
            return;
        }
        const QString suffix = QString::fromLatin1(CrashHandler::ReportSuffix);
        while (const dirent *entry = ::readdir(listing)) {
            const QString name = QFile::decodeName(entry->d_name);
            struct stat info = {};
            if (!name.endsWith(suffix) || name.size() == suffix.size() ||
                ::fstatat(folder.get(), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(info.st_mode) ||
                info.st_uid != ::geteuid())
                continue;
            reports.push_back({name, name.left(name.size() - suffix.size()), qint64(info.st_mtime)});
        }
        ::closedir(listing);
    }
    std::sort(reports.begin(), reports.end(), [](const Report &a, const Report &b) {
        return a.modified != b.modified ? a.modified > b.modified : a.fileName < b.fileName;
    });

    const qint64 oldest = common::Clock::nowMSecsSinceEpoch() / 1000 - qint64(MaxAgeDays) * 24 * 3600;
    std::vector<Report> kept;
    for (const Report &report : reports) {
        QString why;
        if (int(kept.size()) >= MaxReports)
            why = QStringLiteral("beyond the %1 newest").arg(MaxReports);
        else if (report.modified < oldest)
            why = QStringLiteral("older than %1 days").arg(MaxAgeDays);
        if (why.isEmpty()) {
            kept.push_back(report);
        } else if (::unlinkat(folder.get(), QFile::encodeName(report.fileName).constData(), 0) == 0) {
            ApplicationDebug::logLow(QStringLiteral("Crash report %1 deleted: %2").arg(report.fileName, why));
        } else {
            ApplicationDebug::logLow(
                QStringLiteral("Unable to delete crash report %1: %2").arg(report.fileName, systemError(errno)));
        }
    }

    // The checkpoint lists the reports already sent; names of deleted reports are dropped from it.
    const QString checkpointPath = folderPath + QLatin1Char('/') + QLatin1String(CheckpointFileName);
    QSet<QString> listed;
    {
        QFile checkpoint(checkpointPath);
        if (checkpoint.open(QIODevice::ReadOnly)) {
            const QList<QByteArray> lines = checkpoint.readAll().split('\n');
            for (const QByteArray &line : lines) {
                if (!line.trimmed().isEmpty())
                    listed.insert(QString::fromUtf8(line.trimmed()));
            }
        }
    }
    QSet<QString> sent;
    std::vector<const Report *> waiting;
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        if (listed.contains(it->id))
            sent.insert(it->id);
        else
            waiting.push_back(&*it);
    }
    const int sentBefore = sent.size();
    const auto writeCheckpoint = [&] {
        QStringList ids = sent.values();
        ids.sort();
        QSaveFile file(checkpointPath);
        const QByteArray text =
            ids.isEmpty() ? QByteArray() : (ids.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
            ApplicationDebug::logLow(QStringLiteral("Unable to write %1: %2").arg(checkpointPath, file.errorString()));
            return false;
        }
        return true;
    };
    if (listed.size() != sent.size())
        writeCheckpoint();

    const QString shownUrl = QUrl(m_options.url).toString(QUrl::RemoveUserInfo);
    int delivered = 0;
    if (m_options.enabled && !waiting.empty() && m_options.url.isEmpty())
        ApplicationDebug::logLow(QStringLiteral("Crash reports not sent: DumpUrl is empty"));
    else if (m_options.enabled) {
        for (const Report *report : waiting) {
            if (m_abort.load())
                break;
            QByteArray content;
            QString reason;
            if (!readReport(folder.get(), report->fileName, &content, &reason)) {
                ApplicationDebug::logLow(
                    QStringLiteral("Unable to read crash report %1: %2").arg(report->fileName, reason));
                continue;
            }
            if (!upload(*report, content, &reason)) {
                if (m_abort.load())
                    ApplicationDebug::logLow(
                        QStringLiteral("Crash report %1 not sent: the agent is stopping").arg(report->fileName));
                else
                    ApplicationDebug::logLow(QStringLiteral("Unable to send crash report %1 to %2: %3")
                                                 .arg(report->fileName, shownUrl, reason));
                break;
            }
            ApplicationDebug::logLow(QStringLiteral("Crash report %1 sent to %2").arg(report->fileName, shownUrl));
            sent.insert(report->id);
            ++delivered;
            writeCheckpoint();
        }
    }
    ApplicationDebug::logHigh(QStringLiteral("Crash reports in %1: %2 sent now, %3 sent before, %4 not sent")
                                  .arg(folderPath)
                                  .arg(delivered)
                                  .arg(sentBefore)
                                  .arg(int(kept.size()) - sent.size()));
}

bool CrashReportSender::upload(const Report &report, const QByteArray &content, QString *reason)
{
    CURL *curl = curl_easy_init();
    if (!curl) {
        *reason = QStringLiteral("libcurl could not be initialised");
        return false;
    }
    const QByteArray version = m_options.versionText.toUtf8();
    const QByteArray url = m_options.url.toUtf8();
    const QByteArray fileName = QFile::encodeName(report.fileName);

    curl_mime *form = curl_mime_init(curl);
    curl_mimepart *part = curl_mime_addpart(form);
    curl_mime_name(part, "version");
    curl_mime_data(part, version.constData(), size_t(version.size()));
    part = curl_mime_addpart(form);
    curl_mime_name(part, "upload_file_minidump");
    curl_mime_data(part, content.constData(), size_t(content.size()));
    curl_mime_filename(part, fileName.constData());
    curl_mime_type(part, "application/octet-stream");

    char errors[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_MIMEPOST, form);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, version.constData());
    // Worker thread: no SIGALRM for name-resolution time limits.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, TimeLimitSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, ConnectTimeLimitSeconds);
    // An error status means the server did not take the report.
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errors);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &discardAnswer);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &m_abort);

    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK)
        *reason = QString::fromUtf8(errors[0] ? errors : curl_easy_strerror(result));
    curl_mime_free(form);
    curl_easy_cleanup(curl);
    return result == CURLE_OK;
}

} // namespace crash
