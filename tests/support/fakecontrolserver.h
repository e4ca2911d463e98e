#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

namespace testsupport {

// A stand-in for a running service's control socket (a Unix stream socket):
// reads one request line per connection, records it and answers with the
// line the reply function gives (no line end: the server adds it; an empty
// reply closes without answering). Serves from its own thread until destroyed.
class FakeControlServer
{
public:
    using Reply = std::function<QByteArray(const QByteArray &request)>;

    FakeControlServer(const QString &socketPath, Reply reply);
    ~FakeControlServer();

    bool isListening() const { return m_fd >= 0; }
    QList<QByteArray> requests() const;

private:
    void serve();

    QString m_path;
    Reply m_reply;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QList<QByteArray> m_requests; // guarded by m_mutex
    std::thread m_thread;
};

// A Unix datagram socket that collects what is sent to it: a test's
// NOTIFY_SOCKET or syslog socket.
class DatagramListener
{
public:
    explicit DatagramListener(const QString &socketPath);
    ~DatagramListener();

    bool isValid() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    // Reads on, in arrival order, from where the previous call stopped, until
    // a datagram contains needle, at most timeoutMs. Returns that datagram or
    // an empty array.
    QByteArray waitFor(const QByteArray &needle, int timeoutMs);

private:
    QString m_path;
    int m_fd = -1;
    QList<QByteArray> m_received;
    int m_searched = 0; // datagrams before this one were searched already
};

// What a killed service leaves behind: a socket file nobody listens on.
bool leaveStaleSocket(const QString &socketPath);

} // namespace testsupport
