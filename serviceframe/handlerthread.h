#pragma once

#include "serviceframe/controlchannel.h"

#include <QEvent>
#include <QMutex>
#include <QSemaphore>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <functional>
#include <memory>

class QtServiceBasePrivate;

// A query posted to the application thread; what answers it goes into the
// shared result, which outlives the event whichever side lets go first.
struct QueryResult
{
    QByteArray query;
    std::function<QByteArray()> answer; // set by the application thread before requestDone
};
class QueryEvent : public QEvent
{
public:
    static constexpr int EventType = QEvent::User + 512;
    explicit QueryEvent(std::shared_ptr<QueryResult> result)
        : QEvent(QEvent::Type(EventType)), result(std::move(result))
    {}
    const std::shared_ptr<QueryResult> result;
};

// Plays the service manager's dispatcher: serves the control socket so that
// the main thread can run the application. It posts every request to the
// application thread as an event (1001 stop, 1002 pause, 1003 resume, 1256
// start, 1000 + n user control n) and waits, without limit, until the
// application thread has carried it out, reporting the states around it to
// systemd. Everything shared with the main thread is behind m_mutex.
class HandlerThread : public QThread
{
    Q_OBJECT
public:
    HandlerThread(QtServiceBasePrivate *service, const QString &socketPath, bool canBeSuspended);
    ~HandlerThread() override;

    // Released once the socket is served, or once that failed.
    QSemaphore &startSemaphore() { return m_startSemaphore; }
    bool listening() const;

    // Main thread: the application and the object that receives the requests exist.
    void applicationReady(QObject *controllerHandler);
    // Main thread: the event loop has ended; nothing more will be carried out.
    void applicationFinished(int exitCode);
    // Main thread: ends run() promptly.
    void shutdown();

    // Application thread: the oldest posted request has been carried out.
    void requestDone();
    // Application thread: a stop decided there (SIGTERM).
    void beginStop();
    // Application thread: the service failed; systemd sees the reason as
    // its status, and "running" is no longer reported.
    void reportFailure(const QString &reason);

    serviceframe::ServiceState state() const;

protected:
    void run() override;

private:
    bool setUp(QString *error);
    void serveClient(int fd);
    QByteArray carryOut(const serviceframe::ControlRequest &request);
    bool postAndWait(int eventType);
    bool postAndWait(QEvent *event);
    // "ok <state>", a line end and the application's answer, or "refused <state>".
    QByteArray answerQuery(const serviceframe::ControlRequest &request);
    void setState(serviceframe::ServiceState state);
    // Moves to `after` only if nobody changed the state since `pending`.
    void finishTransition(serviceframe::ServiceState pending, serviceframe::ServiceState after);

    QtServiceBasePrivate *m_service;
    const QString m_socketPath;
    const bool m_canBeSuspended;
    QSemaphore m_startSemaphore;
    int m_listenFd = -1;
    int m_wakePipe[2] = {-1, -1};

    mutable QMutex m_mutex;
    QWaitCondition m_condition;
    QObject *m_controllerHandler = nullptr;
    bool m_listening = false;
    bool m_finished = false;
    quint64 m_posted = 0;
    quint64 m_done = 0;
    serviceframe::ServiceState m_state = serviceframe::ServiceState::Stopped;
    QByteArray m_failure; // the reason of reportFailure, for the last status line
};
