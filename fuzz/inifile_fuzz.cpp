// The INI text reader on arbitrary text: every look-up agrees with the lines
// it reports, and a reported key and value written as a line read back the same.
#include "fuzz/fuzzcheck.h"
#include "settings/inifile.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    IniFile ini;
    ini.parse(text);

    int keyLines = 0;
    for (const QString &name : ini.sectionNames()) {
        FUZZ_CHECK(ini.hasSection(name) && ini.hasSection(name.toLower()) && ini.sectionName(name) == name);
        const auto pairs = ini.keyValues(name);
        const QStringList keys = ini.keys(name);
        FUZZ_CHECK(keys.size() == pairs.size());
        keyLines += pairs.size();
        for (int i = 0; i < pairs.size(); ++i) {
            const auto &[key, value] = pairs[i];
            FUZZ_CHECK(!key.isEmpty() && key == keys[i]);
            // The first line of a key wins.
            int first = 0;
            while (pairs[first].first.compare(key, Qt::CaseInsensitive) != 0)
                ++first;
            FUZZ_CHECK(ini.value(name, key, QStringLiteral("\x01")) == pairs[first].second);
            (void)ini.intValue(name, key, 7);
            (void)ini.boolValue(name, key, true);
            QString k, v;
            if (IniFile::parseLine(key + QLatin1Char('=') + value, &k, &v) && !value.contains(QLatin1Char('"')) &&
                !value.contains(QLatin1Char('#')))
                FUZZ_CHECK(k == key && v == value.trimmed());
        }
    }
    FUZZ_CHECK(keyLines == ini.keyLineCount());
    FUZZ_CHECK(ini.sectionOrder().size() >= ini.sectionNames().size());
    return 0;
}
