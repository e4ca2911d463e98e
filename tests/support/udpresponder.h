#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <atomic>
#include <functional>
#include <thread>

namespace testsupport {

// A UDP server on loopback (port 0) for DNS and LLMNR tests, in a thread of
// its own so that it answers while the test thread blocks in a look-up.
// Every datagram goes to the handler; its reply (if any) is sent after the
// reply's delay. Counts queries and the most queries held unanswered at once.
class UdpResponder
{
public:
    struct Reply
    {
        QByteArray data; // empty: no reply
        int delayMs = 0;
    };
    using Handler = std::function<Reply(const QByteArray &query)>;

    explicit UdpResponder(Handler handler, const QHostAddress &address = QHostAddress::LocalHost);
    ~UdpResponder();

    quint16 port() const { return m_port; }
    // "127.0.0.1:port" (or "[::1]:port"), as the configuration writes servers.
    QString endpoint() const;
    int queries() const { return m_queries.load(); }
    int replies() const { return m_replies.load(); }
    int maxPending() const { return m_maxPending.load(); }

private:
    void run();

    Handler m_handler;
    QHostAddress m_address;
    int m_fd = -1;
    int m_wake[2] = {-1, -1};
    quint16 m_port = 0;
    std::atomic<int> m_queries{0};
    std::atomic<int> m_replies{0};
    std::atomic<int> m_maxPending{0};
    std::thread m_thread;
};

} // namespace testsupport
