#pragma once

#include <QtGlobal>
#include <functional>

namespace userCollector {

// Finds the <Event> elements in a stream of rendered events, as it arrives
// piece by piece. Every byte is looked at a bounded number of times, whatever
// the input, and no byte before scanPosition() is needed again, so memory
// stays bounded by what the caller chooses to hold.
//
// Elements are cut at "</Event>". A new "<Event" start before that ends the
// element before it as truncated (the writer gave up on it); an element that
// reaches maxBytes without its end is refused as too large and skipped
// without being held. Bytes between elements are ignored. Scanning the same
// bytes from a position the scanner reported as resolved always gives the
// same elements.
//
// A value type used by one thread at a time.
class XmlEventScanner
{
public:
    enum class Kind { Complete, Truncated, TooLarge };
    struct Element
    {
        qint64 offset = 0;
        qint64 length = 0;
        Kind kind = Kind::Complete;
    };
    // Called for each element found, with the position from which scanning
    // goes on: nothing before it is pending.
    using Sink = std::function<void(const Element &element, qint64 resolvedUpTo)>;

    XmlEventScanner(qint64 offset, qint64 maxBytes) : m_scan(offset), m_maxBytes(maxBytes) {}

    // Scans data, the bytes at [dataOffset, dataOffset + size), which must
    // hold at least everything from scanPosition() on. Stops where more bytes
    // are needed to decide, unless atEnd says that none follow.
    void scan(const char *data, qint64 dataOffset, qint64 size, bool atEnd, const Sink &sink);
    // No more bytes will come after end. With final set, an element left open
    // is truncated (or too large); otherwise it stays pending, to be scanned
    // again once it is complete.
    void finish(qint64 end, bool final, const Sink &sink);

    qint64 scanPosition() const { return m_scan; }
    // Everything before this offset is resolved: where a later scan resumes.
    qint64 resolved() const { return m_inElement ? m_start : m_scan; }
    // The start of the element being scanned, or -1.
    qint64 openElement() const { return m_inElement ? m_start : -1; }

private:
    qint64 m_scan;
    qint64 m_start = 0; // of the open element
    bool m_inElement = false;
    qint64 m_maxBytes;
};

// "<Event" followed by a blank, ">" or "/": the start of an event element.
// p must have at least 7 bytes.
bool isXmlEventStart(const char *p);

} // namespace userCollector
