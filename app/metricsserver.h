#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <condition_variable>
#include <functional>
#include <mutex>

struct MHD_Daemon;
struct MHD_Connection;

namespace service {

// The optional metrics page: http://<MetricsAddress>/metrics in Prometheus's
// text format, served by libmicrohttpd from a thread of its own. Each scrape
// asks the main thread for the page (the renderer runs there, queued) and
// waits at most RenderLimitMs for it; an agent too busy to answer in time,
// or closing the endpoint, answers 503. Anything but GET or HEAD of /metrics
// gets 405 or 404.
//
// Created, applied, closed and destroyed on the main thread, which must not
// wait for a scrape: close() wakes waiting scrapes before stopping the daemon.
class MetricsServer : public QObject
{
    Q_OBJECT
public:
    using Renderer = std::function<QByteArray()>;
    static constexpr int RenderLimitMs = 5000;
    static constexpr quint16 DefaultPort = 9631;

    explicit MetricsServer(Renderer renderer, QObject *parent = nullptr);
    ~MetricsServer() override;

    // Serves on "address[:port]" ("[v6]:port"; port 9631 when omitted), or
    // nowhere for an empty text. Does nothing when that is where it serves
    // already. A text that is no address, or an address that cannot be
    // bound, is logged and leaves no endpoint: false then.
    bool apply(const QString &metricsAddress);
    void close();
    bool isListening() const { return m_daemon != nullptr; }

    // libmicrohttpd's thread: answers one request.
    int respond(MHD_Connection *connection, const char *url, const char *method);

private:
    // libmicrohttpd's thread: the page from the main thread, false when it did not come in time.
    bool renderPage(QByteArray *page);

    Renderer m_renderer;
    MHD_Daemon *m_daemon = nullptr;
    QString m_address; // what m_daemon serves, as configured

    std::mutex m_mutex; // covers m_closing and the pages scrapes wait for
    std::condition_variable m_rendered;
    bool m_closing = false;
};

} // namespace service
