#pragma once

#include "eventsource/eventlogsession.h"

#include <QString>
#include <cstddef>

namespace userCollector {

// Takes the eleven values from one rendered <Event> element (UTF-8), by the
// paths Event/System/{TimeCreated/@SystemTime,EventID,EventRecordID} and
// Event/EventData/Data[@Name=...]. The element is checked for well-formed
// tags, quotes and entities; control characters in text are tolerated, as
// event exports contain them. Each value gets the type its text shows (a
// SID, a decimal number, a 0x hexadecimal number, a time); a text of another
// form leaves the value absent. Returns false with a reason when malformed.
bool parseEventXml(const char *data, std::size_t size, RenderedEvent *event, QString *error);

// Only EventID and EventRecordID, for choosing events before reading them
// whole. Returns false when the element is malformed.
bool peekEventXml(const char *data, std::size_t size, EventValue *eventId, EventValue *recordId);

// "2021-12-14T14:42:49.2221348Z" as 100 ns units since 1601-01-01 UTC.
bool parseSystemTime(const QString &text, quint64 *fileTime);

} // namespace userCollector
