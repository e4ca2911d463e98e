#pragma once

#include <QString>

namespace userCollector {

// Translates a domain name between its SAM-compatible ("CORP\") and canonical
// ("corp.example.com/") forms, the job the directory's name-translation call
// does on a domain member. The default reports "not available", which the
// readers handle by keeping the untranslated name. Thread-safe: the instance
// is chosen once (tests swap it before any source runs).
class INameTranslator
{
public:
    enum NameFormat : quint32 { NameSamCompatible = 2, NameCanonical = 7 };
    // Failure codes the readers act on (retry the other direction); any other
    // code means the name is kept as it is.
    static constexpr quint32 ErrorSomeNotMapped = 1301;
    static constexpr quint32 ErrorNoSuchUser = 1317;
    // What the default answers.
    static constexpr quint32 ErrorNotAvailable = 50;

    virtual ~INameTranslator() = default;

    // True with the translated text, or false with the failure code.
    virtual bool translateName(const QString &name, NameFormat from, NameFormat to, QString *translated,
                               quint32 *errorCode) = 0;

    static INameTranslator &instance();
    // Tests: use translator (not owned) instead of the default; nullptr restores it.
    static void setInstanceForTest(INameTranslator *translator);
};

// The Linux default: no directory to ask.
class UnavailableNameTranslator : public INameTranslator
{
public:
    bool translateName(const QString &name, NameFormat from, NameFormat to, QString *translated,
                       quint32 *errorCode) override;
};

} // namespace userCollector
