#include "settings/inifile.h"

#include <gtest/gtest.h>

namespace {

struct Lookup
{
    const char *name;
    const char *text;
    const char *section;
    const char *key;
    const char *expected; // nullptr: the default comes back
};

class IniFileValue : public ::testing::TestWithParam<Lookup>
{
};

TEST_P(IniFileValue, AnswersByTheForgivingRules)
{
    const Lookup &c = GetParam();
    IniFile ini;
    ini.parse(QString::fromUtf8(c.text));
    const QString got = ini.value(QString::fromUtf8(c.section), QString::fromUtf8(c.key), QStringLiteral("<default>"));
    EXPECT_EQ(got.toStdString(), c.expected ? std::string(c.expected) : std::string("<default>"));
}

const Lookup lookups[] = {
    {"PlainKey", "[Login]\nUser=alice\nIP = 10.1.2.3", "Login", "User", "alice"},
    {"BlankBeforeEqualsIsPartOfKey", "[Login]\nUser=alice\nIP = 10.1.2.3", "Login", "IP", nullptr},
    {"KeyWithTrailingBlankMatchesItself", "[Login]\nIP = 10.1.2.3", "Login", "IP ", "10.1.2.3"},
    {"ValueTrimmed", "[s]\nname=   x  ", "s", "name", "x"},
    {"SectionAndKeyIgnoreCase", "[LoGiN]\nUSER=alice", "login", "user", "alice"},
    {"FirstMatchingLineWins", "[s]\nk=1\nK=2", "s", "k", "1"},
    {"QuotedValueKeepsHash", "[s]\nName=\"a # b\" # note", "s", "Name", "a # b"},
    {"UnquotedHashStartsComment", "[s]\nName=a # b", "s", "Name", "a"},
    {"QuotedRestIgnored", "[s]\nName=\"x\" tail", "s", "Name", "x"},
    {"LoneQuoteIsText", "[s]\nName=\"abc", "s", "Name", "\"abc"},
    {"EmptyQuoted", "[s]\nName=\"\"", "s", "Name", ""},
    {"NoKeyBeforeEquals", "[s]\n=x", "s", "", nullptr},
    {"LineWithoutEquals", "[s]\nflag", "s", "flag", nullptr},
    {"EqualsInValue", "[s]\nerror=a=b", "s", "error", "a=b"},
    {"TextBeforeFirstHeaderIgnored", "k=v\n[s]\nother=1", "s", "k", nullptr},
    {"LastHeaderOfANameWins", "[Agent]\nversion=2\nold=1\n[agent]\nversion=3", "AGENT", "version", "3"},
    {"EarlierLinesOfReplacedSectionGone", "[Agent]\nold=1\n[Agent]\nversion=3", "Agent", "old", nullptr},
    {"CrLfLines", "[s]\r\nk=v\r\n", "s", "k", "v"},
    {"MissingSection", "[s]\nk=v", "t", "k", nullptr},
    {"HeaderWithComment", "[UTM] # from the appliance\nserial=X1", "UTM", "serial", "X1"},
    {"HeaderTooShortIsALine", "[]\n[s]\nk=v", "s", "k", "v"},
    {"NonLatin1BecomesQuestionMark", "[s]\nuser=\xe2\x82\xac", "s", "user", "?"},
    {"Latin1Kept", "[s]\nuser=jos\xc3\xa9", "s", "user", "jos\xc3\xa9"},
    {"HeaderNameUpToFirstBracket", "[a]b]\nk=v", "a", "k", "v"},
};

INSTANTIATE_TEST_SUITE_P(Table, IniFileValue, ::testing::ValuesIn(lookups),
                         [](const ::testing::TestParamInfo<Lookup> &info) { return std::string(info.param.name); });

struct BoolCase
{
    const char *line;
    bool defaultValue;
    bool expected;
};

TEST(IniFile, BoolValue)
{
    const BoolCase cases[] = {
        {"Flag=2", false, true},    {"Flag=0", true, false},     {"Flag=on", false, true},
        {"Flag=true", false, true}, {"Flag=off", true, false},   {"Flag=false", true, false},
        {"Flag=ON", false, false},  {"Flag=ON", true, true},     {"Flag=-1", false, false},
        {"Flag=-1", true, true},    {"Other=1", true, true},     {"Other=1", false, false},
        {"Flag=yes", true, true},   {"Flag=\"1\"", false, true}, {"Flag=1 # on", false, true},
    };
    for (const BoolCase &c : cases) {
        IniFile ini;
        ini.parse(QStringLiteral("[s]\n") + QString::fromLatin1(c.line));
        EXPECT_EQ(ini.boolValue(QStringLiteral("s"), QStringLiteral("Flag"), c.defaultValue), c.expected)
            << c.line << " default " << c.defaultValue;
    }
}

TEST(IniFile, IntValue)
{
    IniFile ini;
    ini.parse(QStringLiteral("[s]\na=42\nb=-7\nc=12x\nd=99999999999\ne=0x10\nf=\ng=2147483647"));
    const QString s = QStringLiteral("s");
    EXPECT_EQ(ini.intValue(s, QStringLiteral("a"), 5), 42);
    EXPECT_EQ(ini.intValue(s, QStringLiteral("b"), 5), -7);
    EXPECT_EQ(ini.intValue(s, QStringLiteral("c"), 5), 5);
    EXPECT_EQ(ini.intValue(s, QStringLiteral("d"), 5), 5); // beyond 32 bits
    EXPECT_EQ(ini.intValue(s, QStringLiteral("e"), 5), 5); // decimal only
    EXPECT_EQ(ini.intValue(s, QStringLiteral("f"), 5), 5);
    EXPECT_EQ(ini.intValue(s, QStringLiteral("g"), 5), 2147483647);
    EXPECT_EQ(ini.intValue(s, QStringLiteral("missing"), -1), -1);
}

TEST(IniFile, KeysAreUntrimmedAndInLineOrder)
{
    IniFile ini;
    ini.parse(QStringLiteral("[Network]\nuser=bob\n# comment\nHOST =1\n=x\nnoequals\nid=1\nhost=2"));
    EXPECT_EQ(ini.keys(QStringLiteral("network")), (QStringList{QStringLiteral("user"), QStringLiteral("HOST "),
                                                                QStringLiteral("id"), QStringLiteral("host")}));
    EXPECT_EQ(ini.keyLineCount(), 4);
    EXPECT_TRUE(ini.keys(QStringLiteral("absent")).isEmpty());
}

TEST(IniFile, SectionsAndOrder)
{
    IniFile ini;
    ini.parse(QStringLiteral("junk\n[Network]\nid=1\n[network_2]\nid=2\n[Network]\nid=3"));
    QStringList names = ini.sectionNames();
    names.sort();
    EXPECT_EQ(names, (QStringList{QStringLiteral("Network"), QStringLiteral("network_2")}));
    EXPECT_EQ(ini.sectionOrder(),
              (QStringList{QStringLiteral("NETWORK"), QStringLiteral("NETWORK_2"), QStringLiteral("NETWORK")}));
    EXPECT_EQ(ini.value(QStringLiteral("network"), QStringLiteral("id")), QStringLiteral("3"));
    EXPECT_FALSE(ini.lastError().isEmpty());
}

TEST(IniFile, EmptyAndReparsed)
{
    IniFile ini;
    ini.parse(QString());
    EXPECT_TRUE(ini.sectionNames().isEmpty());
    ini.parse(QStringLiteral("[a]\nk=v"));
    ini.parse(QStringLiteral("only text\nk=v"));
    EXPECT_TRUE(ini.sectionNames().isEmpty());
    EXPECT_TRUE(ini.sectionOrder().isEmpty());
    EXPECT_EQ(ini.keyLineCount(), 0);
}

TEST(IniFile, LargeSectionLooksUpFast)
{
    // Ten thousand keys: every look-up is answered from the index, not by a scan.
    QString text = QStringLiteral("[Configuration]\n");
    for (int i = 1; i <= 10000; ++i)
        text += QStringLiteral("Controller_%1=10.0.%2.%3\n").arg(i).arg(i / 256).arg(i % 256);
    IniFile ini;
    ini.parse(text);
    for (int i = 1; i <= 10000; ++i)
        ASSERT_FALSE(ini.value(QStringLiteral("configuration"), QStringLiteral("controller_%1").arg(i)).isEmpty());
    EXPECT_EQ(ini.keyLineCount(), 10000);
}

} // namespace
