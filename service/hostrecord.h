#pragma once

#include "common/logon.h"

#include <QDateTime>
#include <QString>
#include <QVector>

// What the collector cache knows of one workstation: its newest user and the
// addresses that user was seen at from it (one logon per address). A plain
// value, guarded by the cache's mutex like the map that holds it.
struct HostRecord
{
    QString user;
    QString domain;
    QString fqdn;
    // A vector keeps each logon inline: the cache holds hundreds of thousands.
    QVector<common::Logon> logons;
    QDateTime time;
    QString sid;
};
