#pragma once

#include <QByteArray>
#include <QFlags>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class QtServiceBasePrivate;

// The abstract service. One instance per process. exec() reads the first
// command-line argument and either performs a command-line action (install,
// uninstall, version, stop, pause, resume, command, help) and returns, or runs
// the service: as a console application ("-e") or under the service manager
// (systemd, no option). start/stop/pause/resume/processCommand are always
// called on the application's (main) thread.
class QtServiceBase
{
public:
    enum MessageType { Success = 0, Error, Warning, Information };
    enum ServiceFlag { Default = 0x00, CanBeSuspended = 0x01, CannotBeStopped = 0x02, NeedsStopOnShutdown = 0x04 };
    Q_DECLARE_FLAGS(ServiceFlags, ServiceFlag)

    using InterruptHandler = void (*)();

    QtServiceBase(int argc, char **argv, const QString &name);
    virtual ~QtServiceBase();

    QString serviceName() const;
    QString serviceDescription() const;
    void setServiceDescription(const QString &description);
    ServiceFlags serviceFlags() const;
    void setServiceFlags(ServiceFlags flags);
    // Names beside the executable that the service writes (files or
    // folders). Installing under an account says which of them, and the
    // executable's folder, the account cannot write, and how to fix it.
    void setWrittenBesideExecutable(const QStringList &names);

    // Runs the command line; the result is the process exit code.
    int exec();

    // Reports one entry to the system log (syslog, ident = the service name).
    void logMessage(const QString &message, MessageType type = Success, int id = 0, uint category = 0,
                    const QByteArray &data = QByteArray());

    // The service failed (a start that cannot go on, a stop forced by an
    // error): the reason becomes the service manager's status line and the
    // process exits with exitCode (not 0) whatever the event loop returns.
    // Application thread.
    void reportFailure(const QString &reason, int exitCode);

    // True while the service runs as a console application ("-e").
    bool runsInConsole() const;

    static QtServiceBase *instance();

    // Called on the application thread for SIGINT, and for SIGTERM when running
    // in the console. Without one, those signals stop the service like a stop request.
    static void setInterruptHandler(InterruptHandler handler);

protected:
    virtual void start() = 0;
    virtual void stop();
    virtual void pause();
    virtual void resume();
    virtual void processCommand(int code);
    // Writes the answer to a query of the control socket; runs on the control
    // socket's thread, from copies taken on the application thread, so that
    // a large answer does not hold up the service. An empty answer refuses.
    using QueryAnswer = std::function<QByteArray()>;
    // Takes what a query of the control socket ("status", "mappings ..."; see
    // controlchannel.h) needs, on the application thread, while the service
    // runs or is paused. An empty function refuses the query.
    virtual QueryAnswer answerQuery(const QByteArray &query);
    virtual void createApplication(int &argc, char **argv) = 0;
    virtual int executeApplication() = 0;

private:
    friend class QtServiceBasePrivate;
    friend class QtServiceControllerHandler;
    friend class QtServiceStarter;

    QtServiceBase(const QtServiceBase &) = delete;
    QtServiceBase &operator=(const QtServiceBase &) = delete;

    std::unique_ptr<QtServiceBasePrivate> d_ptr;
};

Q_DECLARE_OPERATORS_FOR_FLAGS(QtServiceBase::ServiceFlags)
