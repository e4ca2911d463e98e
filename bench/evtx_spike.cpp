// Spike, not product code: what an own reader of the EVTX chunk and
// binary-XML format would cost. For every record it finds the EventID and
// EventRecordID the way such a reader would: the record's template instance
// gives its substitution values; the template's definition (read once per
// chunk and template) says which substitution is the EventID. Prints the CPU
// time of that walk beside the time libevtx takes to load the same records.
//   evtx_spike FILE.evtx
#include <libevtx/features.h>
#undef LIBEVTX_HAVE_BFIO
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <libevtx.h>
#include <map>
#include <string>
#include <vector>

namespace {

double cpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

uint16_t u16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t u32(const uint8_t *p)
{
    return uint32_t(u16(p)) | uint32_t(u16(p + 2)) << 16;
}
uint64_t u64(const uint8_t *p)
{
    return uint64_t(u32(p)) | uint64_t(u32(p + 4)) << 32;
}

// Which substitutions of a template hold the EventID and the EventRecordID.
struct TemplateMap
{
    int eventId = -1;
    int recordId = -1;
};

class Chunk
{
public:
    explicit Chunk(const uint8_t *data) : c(data) {}

    // Name at a chunk offset, as ASCII; *inlineBytes is set when the name
    // structure lies at `at` itself (an inline definition to skip).
    std::string name(uint32_t offset, uint32_t at, uint32_t *inlineBytes) const
    {
        *inlineBytes = 0;
        if (offset + 8 > 65536)
            return std::string();
        const uint16_t chars = u16(c + offset + 6);
        if (offset == at)
            *inlineBytes = 8 + 2u * chars + 2;
        std::string text;
        for (uint16_t i = 0; i < chars && offset + 8 + 2u * i + 1 < 65536; ++i)
            text += char(c[offset + 8 + 2 * i]);
        return text;
    }

    // Walks a template definition's tokens from `at` to `end`.
    TemplateMap map(uint32_t at, uint32_t end) const
    {
        TemplateMap result;
        std::vector<std::string> stack;
        while (at < end && at < 65536) {
            const uint8_t token = c[at];
            const uint8_t kind = token & 0x0f;
            uint32_t skip = 0;
            switch (kind) {
            case 0x01: { // open start element
                const uint32_t nameOffset = u32(c + at + 7);
                at += 11;
                stack.push_back(name(nameOffset, at, &skip));
                at += skip;
                if (token & 0x40)
                    at += 4; // attribute list size
                break;
            }
            case 0x02: // close start element tag
                ++at;
                break;
            case 0x03: // close empty element
            case 0x04: // end element
                if (!stack.empty())
                    stack.pop_back();
                ++at;
                break;
            case 0x05: // value text
                at += 4 + 2u * u16(c + at + 2);
                break;
            case 0x06: { // attribute
                const uint32_t nameOffset = u32(c + at + 1);
                at += 5;
                name(nameOffset, at, &skip);
                at += skip;
                break;
            }
            case 0x07: // CDATA
            case 0x0b: // PI data
                at += 3 + 2u * u16(c + at + 1);
                break;
            case 0x08: // character reference
                at += 3;
                break;
            case 0x09: // entity reference
            case 0x0a: { // PI target
                const uint32_t nameOffset = u32(c + at + 1);
                at += 5;
                name(nameOffset, at, &skip);
                at += skip;
                break;
            }
            case 0x0d:
            case 0x0e: { // substitution
                const int index = u16(c + at + 1);
                if (stack.size() >= 2 && stack[stack.size() - 2] == "System") {
                    if (stack.back() == "EventID")
                        result.eventId = index;
                    else if (stack.back() == "EventRecordID")
                        result.recordId = index;
                }
                at += 4;
                break;
            }
            case 0x0f: // fragment header
                at += 4;
                break;
            case 0x00: // end of the definition
                return result;
            default:
                return result;
            }
        }
        return result;
    }

    const uint8_t *c;
    std::map<uint32_t, TemplateMap> templates; // by definition offset
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: evtx_spike FILE.evtx\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

    // The walk an own reader would make.
    const double start = cpuSeconds();
    uint64_t records = 0, wanted = 0, unmapped = 0, checksum = 0;
    for (size_t at = 4096; at + 65536 <= file.size(); at += 65536) {
        Chunk chunk(file.data() + at);
        if (std::memcmp(chunk.c, "ElfChnk", 8) != 0)
            continue;
        const uint32_t free = u32(chunk.c + 48);
        for (uint32_t r = 512; r + 24 <= free && r + 24 <= 65536;) {
            const uint8_t *record = chunk.c + r;
            const uint32_t size = u32(record + 4);
            if (u32(record) != 0x00002a2a || size < 28 || r + size > 65536)
                break;
            ++records;
            // Fragment header, then the template instance.
            uint32_t p = r + 24;
            if (chunk.c[p] == 0x0f)
                p += 4;
            if (chunk.c[p] == 0x0c) {
                const uint32_t definition = u32(chunk.c + p + 6);
                p += 10;
                auto found = chunk.templates.find(definition);
                if (found == chunk.templates.end()) {
                    const uint32_t dataSize = u32(chunk.c + definition + 20);
                    found = chunk.templates
                                .emplace(definition, chunk.map(definition + 24, definition + 24 + dataSize))
                                .first;
                }
                if (definition == p) // defined inline: skip the definition
                    p += 24 + u32(chunk.c + definition + 20);
                const uint32_t count = u32(chunk.c + p);
                const uint8_t *descriptors = chunk.c + p + 4;
                uint32_t value = p + 4 + 4 * count;
                uint64_t eventId = 0, recordId = 0;
                for (uint32_t i = 0; i < count && value < 65536; ++i) {
                    const uint16_t length = u16(descriptors + 4 * i);
                    if (int(i) == found->second.eventId && length >= 2)
                        eventId = u16(chunk.c + value);
                    if (int(i) == found->second.recordId && length >= 8)
                        recordId = u64(chunk.c + value);
                    value += length;
                }
                if (found->second.eventId < 0)
                    ++unmapped;
                checksum += recordId;
                if (eventId == 4624 || eventId == 4768)
                    ++wanted;
            } else {
                ++unmapped;
            }
            r += size;
        }
    }
    const double own = cpuSeconds() - start;

    // libevtx loading the same records (what the store cannot avoid with it).
    const double libStart = cpuSeconds();
    libevtx_file_t *evtx = nullptr;
    libevtx_file_initialize(&evtx, nullptr);
    int count = 0;
    if (libevtx_file_open(evtx, argv[1], LIBEVTX_OPEN_READ, nullptr) == 1)
        libevtx_file_get_number_of_records(evtx, &count, nullptr);
    uint64_t libWanted = 0;
    for (int i = 0; i < count; ++i) {
        libevtx_record_t *record = nullptr;
        if (libevtx_file_get_record_by_index(evtx, i, &record, nullptr) != 1)
            continue;
        uint32_t identifier = 0;
        libevtx_record_get_event_identifier(record, &identifier, nullptr);
        if ((identifier & 0xffff) == 4624 || (identifier & 0xffff) == 4768)
            ++libWanted;
        libevtx_record_free(&record, nullptr);
    }
    libevtx_file_close(evtx, nullptr);
    libevtx_file_free(&evtx, nullptr);
    const double lib = cpuSeconds() - libStart;

    std::printf("own walk: %llu records, %llu wanted, %llu without a mapped EventID, %.3f s CPU (%.0f records/s)\n",
                (unsigned long long)records, (unsigned long long)wanted, (unsigned long long)unmapped, own,
                double(records) / own);
    std::printf("libevtx load + event identifier: %d records, %llu wanted, %.3f s CPU (%.0f records/s)\n", count,
                (unsigned long long)libWanted, lib, double(count) / lib);
    std::printf("(checksum %llu)\n", (unsigned long long)checksum);
    return 0;
}
