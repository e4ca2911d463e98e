#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <thread>

namespace crash {

// Delivers the crash reports that earlier runs left in the dump folder, once
// per start, on a thread of its own so that the agent never waits for it.
//
// It first deletes reports older than MaxAgeDays or beyond the MaxReports
// newest. Then, when upload is enabled, it posts every report that the
// "checkpoint" file does not list yet, oldest first, to the upload address as
// a multipart form (field "version", file part "upload_file_minidump") and
// records each one delivered in the checkpoint, so that no report is sent
// twice. A failed upload is logged with the transfer's reason and the
// remaining reports wait for the next start. Every deletion and upload is
// logged. A folder that another user owns or may write to is left alone.
//
// Created, started and stopped on the main thread. stop() aborts a transfer
// in progress and waits for the thread; the application's aboutToQuit and
// the destructor call it, so the thread never outlives the log.
class CrashReportSender : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString dumpDirectory;
        QString versionText; // the form's "version" field
        bool enabled = false;
        QString url;
    };

    static const int MaxAgeDays = 30;
    static const int MaxReports = 20;
    // Per report: the whole transfer, and the connection alone.
    static const long TimeLimitSeconds = 60;
    static const long ConnectTimeLimitSeconds = 15;
    static const char *const CheckpointFileName; // "checkpoint"

    explicit CrashReportSender(const Options &options, QObject *parent = nullptr);
    ~CrashReportSender() override;

    void start();

public slots:
    void stop();

private:
    struct Report;
    void run();
    bool upload(const Report &report, const QByteArray &content, QString *reason);

    const Options m_options;
    std::thread m_thread;
    // Set by stop() on the main thread, read by the transfer's progress callback.
    std::atomic<bool> m_abort{false};
};

} // namespace crash
