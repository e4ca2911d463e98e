#include "eventsource/nametranslator.h"

#include <atomic>

namespace userCollector {

namespace {
UnavailableNameTranslator defaultTranslator;
std::atomic<INameTranslator *> overrideTranslator{nullptr};
} // namespace

INameTranslator &INameTranslator::instance()
{
    INameTranslator *translator = overrideTranslator.load();
    return translator ? *translator : defaultTranslator;
}

void INameTranslator::setInstanceForTest(INameTranslator *translator)
{
    overrideTranslator.store(translator);
}

bool UnavailableNameTranslator::translateName(const QString &, NameFormat, NameFormat, QString *translated,
                                              quint32 *errorCode)
{
    if (translated)
        translated->clear();
    if (errorCode)
        *errorCode = ErrorNotAvailable;
    return false;
}

} // namespace userCollector
