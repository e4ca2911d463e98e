// Settings loaded from arbitrary config.ini content: loading never fails,
// every configuration it lists can be read back under its name, and what it
// holds survives a save and a reload unchanged.
#include "fuzz/fuzzcheck.h"
#include "settings/settings.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 64 * 1024)
        return 0;
    static QTemporaryDir *work = new QTemporaryDir();
    QFile file(work->filePath(QStringLiteral("config.ini")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        abort();
    file.close();

    settings::Settings::setDirectoryForTest(work->path());
    settings::Settings *config = settings::Settings::instance();
    QStringList adNames;
    for (const QString &name : config->adConfigurationNames()) {
        const settings::ADConfiguration ad = config->adConfiguration(name);
        FUZZ_CHECK(ad.name() == name);
        if (ad.enabled() && !adNames.contains(ad.adName()))
            adNames.append(ad.adName());
    }
    QStringList enabled = config->enabledAdNames();
    enabled.sort();
    adNames.sort();
    FUZZ_CHECK(enabled == adNames);
    const QString loaded = config->toString();

    config->setServerConfiguration(config->serverConfiguration()); // saves the file
    settings::Settings::destroy();
    config = settings::Settings::instance();
    const QString reloaded = config->toString();
    if (reloaded != loaded)
        fprintf(stderr, "loaded:\n%s\nreloaded:\n%s\n", qPrintable(loaded), qPrintable(reloaded));
    FUZZ_CHECK(reloaded == loaded);
    settings::Settings::destroy();
    return 0;
}
