#pragma once

#include "eventsource/eventlogsession.h"

#include <QString>
#include <cstddef>
#include <functional>

namespace userCollector {

// Takes the eleven values from one rendered <Event> element (UTF-8), by the
// paths Event/System/{TimeCreated/@SystemTime,EventID,EventRecordID} and
// Event/EventData/Data[@Name=...]. The element is checked for well-formed
// tags, quotes and entities; control characters in text are tolerated, as
// event exports contain them. Each value gets the type its text shows (a
// SID, a decimal number, a 0x hexadecimal number, a time); a text of another
// form leaves the value absent. Returns false with a reason when malformed.
bool parseEventXml(const char *data, std::size_t size, RenderedEvent *event, QString *error);

// Whether an event is wanted, decided on its EventID and EventRecordID
// (typed as in a rendered event; absent ones have the type Null).
using EventFilter = std::function<bool(const EventValue &eventId, const EventValue &recordId)>;
enum class EventParse { Wanted, Unwanted, Malformed };

// Like parseEventXml, but asks filter as soon as the System part has been
// read, and reads no further into an unwanted event.
EventParse parseWantedEventXml(const char *data, std::size_t size, const EventFilter &filter, RenderedEvent *event,
                               QString *error);

// "2021-12-14T14:42:49.2221348Z" as 100 ns units since 1601-01-01 UTC.
bool parseSystemTime(const QString &text, quint64 *fileTime);

} // namespace userCollector
