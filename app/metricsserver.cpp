#include "app/metricsserver.h"

#include "log/applicationdebug.h"
#include "lookup/lookupoptions.h"

#include <QMetaObject>
#include <QPointer>
#include <chrono>
#include <cstring>
#include <memory>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace service {

namespace {

const int ConnectionLimit = 16;
const unsigned int ConnectionTimeoutSeconds = 10;
const char *const ContentType = "text/plain; version=0.0.4; charset=utf-8";

MHD_Result answerRequest(void *server, MHD_Connection *connection, const char *url, const char *method,
                         const char * /*version*/, const char * /*uploadData*/, size_t * /*uploadSize*/,
                         void ** /*perConnection*/)
{
    return static_cast<MetricsServer *>(server)->respond(connection, url, method) == MHD_YES ? MHD_YES : MHD_NO;
}

void logFromLibrary(void * /*context*/, const char *format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    ApplicationDebug::logHigh(QStringLiteral("Metrics: %1").arg(QString::fromLocal8Bit(text).trimmed()));
}

int sendText(MHD_Connection *connection, unsigned int code, const QByteArray &body, const char *contentType)
{
    MHD_Response *response = MHD_create_response_from_buffer(size_t(body.size()), const_cast<char *>(body.constData()),
                                                             MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    if (code == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    const MHD_Result queued = MHD_queue_response(connection, code, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

MetricsServer::MetricsServer(Renderer renderer, QObject *parent) : QObject(parent), m_renderer(std::move(renderer)) {}

MetricsServer::~MetricsServer()
{
    close();
}

bool MetricsServer::apply(const QString &metricsAddress)
{
    const QString text = metricsAddress.trimmed();
    if (m_daemon && text == m_address)
        return true;
    close();
    if (text.isEmpty())
        return true;

    const QList<lookup::Endpoint> endpoints =
        lookup::LookupOptions::parseEndpoints(text, DefaultPort, QStringLiteral("MetricsAddress"));
    if (endpoints.size() != 1 || endpoints.first().port == 0) {
        ApplicationDebug::logLow(
            QStringLiteral("MetricsAddress must be one address with a port from 1 to 65535: %1").arg(text));
        return false;
    }
    const lookup::Endpoint endpoint = endpoints.first();
    sockaddr_storage address;
    std::memset(&address, 0, sizeof address);
    unsigned int flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_ERROR_LOG;
    if (endpoint.address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(endpoint.port);
        const Q_IPV6ADDR bytes = endpoint.address.toIPv6Address();
        std::memcpy(&v6->sin6_addr, &bytes, sizeof bytes);
        v6->sin6_scope_id = endpoint.address.scopeId().toUInt();
        flags |= MHD_USE_IPv6;
    } else {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(endpoint.port);
        v4->sin_addr.s_addr = htonl(endpoint.address.toIPv4Address());
    }

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = false;
    }
    errno = 0;
    m_daemon = MHD_start_daemon(flags, endpoint.port, nullptr, nullptr, &answerRequest, this, MHD_OPTION_SOCK_ADDR,
                                reinterpret_cast<sockaddr *>(&address), MHD_OPTION_CONNECTION_LIMIT,
                                unsigned(ConnectionLimit), MHD_OPTION_CONNECTION_TIMEOUT, ConnectionTimeoutSeconds,
                                MHD_OPTION_EXTERNAL_LOGGER, &logFromLibrary, nullptr, MHD_OPTION_END);
    if (!m_daemon) {
        const int error = errno;
        ApplicationDebug::logLow(
            QStringLiteral("Metrics: unable to listen on %1 (error: %2)")
                .arg(text, error ? QString::fromLocal8Bit(std::strerror(error)) : QStringLiteral("unknown")));
        return false;
    }
    m_address = text;
    ApplicationDebug::logLow(QStringLiteral("Metrics served on http://%1/metrics").arg(text));
    return true;
}

void MetricsServer::close()
{
    if (!m_daemon)
        return;
    {
        // Scrapes waiting for the main thread give up now; it is busy here.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_rendered.notify_all();
    MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
    m_address.clear();
}

bool MetricsServer::renderPage(QByteArray *page)
{
    struct Pending
    {
        bool done = false;
        QByteArray page;
    };
    auto pending = std::make_shared<Pending>();
    // Queued to the main thread; dropped if this server is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, pending] {
            const QByteArray text = m_renderer();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                pending->page = text;
                pending->done = true;
            }
            m_rendered.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_rendered.wait_for(lock, std::chrono::milliseconds(RenderLimitMs), [&] { return pending->done || m_closing; });
    if (!pending->done)
        return false;
    *page = pending->page;
    return true;
}

int MetricsServer::respond(MHD_Connection *connection, const char *url, const char *method)
{
    const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0;
    const bool head = std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (std::strcmp(url, "/metrics") != 0)
        return sendText(connection, MHD_HTTP_NOT_FOUND, "Not found: the metrics are at /metrics\n",
                        "text/plain; charset=utf-8");
    if (!get && !head)
        return sendText(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD\n", "text/plain; charset=utf-8");
    QByteArray page;
    if (!renderPage(&page))
        return sendText(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "The agent is busy, try again\n",
                        "text/plain; charset=utf-8");
    return sendText(connection, MHD_HTTP_OK, page, ContentType);
}

} // namespace service
