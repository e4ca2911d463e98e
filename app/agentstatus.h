#pragma once

#include "common/logon.h"
#include "firewall/client.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <functional>

namespace service {

class AgentAd;

// What the running agent knows, as JSON documents for the control socket's
// queries and the metrics page: the collectors with their domain
// controllers, the firewalls with their connections and logoff collectors
// ("status"), and the users the collector caches hold ("mappings").
//
// Read on the main thread from the agent's own objects and from counters
// that the collection threads keep (service::CollectionStats,
// service::ProbeStats); it takes no lock that collection holds for long:
// only the caches' short snapshot locks. The mappings are copied there and
// written out elsewhere (answer()), as they can be large. Times are UTC in
// ISO 8601 form, null where nothing happened yet.
class AgentStatus
{
public:
    explicit AgentStatus(const AgentAd &agent) : agent(agent) {}

    QJsonObject status() const;

    // Which mappings to list: an address or a subnet ("10.0.0.0/24"), and a
    // user (ignoring case; "DOMAIN\user" also compares the domain). Empty
    // fields match everything.
    struct Filter
    {
        QString ip;
        QString user;
        // From the JSON object of a "mappings" query; false (with why) when it is not one.
        static bool fromJson(const QByteArray &json, Filter *filter, QString *error);
    };
    // The caches' logons and what each firewall of their controllers was
    // told: copies, which any thread may read.
    struct Mappings
    {
        struct Firewall
        {
            QString name;
            UtmConnect::Client::Announcements announced; // empty while it is not connected
        };
        struct Set
        {
            QString adName;
            common::LogonList logons;
            QList<Firewall> firewalls; // the enabled ones of these controllers
        };
        QList<Set> sets; // ordered by adName
    };
    Mappings mappingsSnapshot() const;
    // Any thread: the mappings the filter selects, ordered by address.
    static QJsonObject mappings(const Mappings &snapshot, const Filter &filter);

    // What answers a control-socket query line, taken now; it writes the
    // answer when called, in any thread. Empty when the line is no query.
    std::function<QByteArray()> answer(const QByteArray &query) const;

    // The metrics page (Prometheus text format 0.0.4) of a status document:
    // the same numbers, as sso_agent_... gauges and counters labelled by
    // ad_name, controller, firewall and type. Counters of a firewall's
    // connection start again when it reconnects.
    static QByteArray metricsText(const QJsonObject &status);

private:
    const AgentAd &agent;
};

} // namespace service
