#include "settings/inifile.h"

#include <gtest/gtest.h>

namespace {

TEST(IniFile, ValueAnswersByTheForgivingRules)
{
    const struct
    {
        const char *text;
        const char *section;
        const char *key;
        const char *expected; // nullptr: the default comes back
    } cases[] = {
        {"[Login]\nUser=alice\nIP = 10.1.2.3", "Login", "User", "alice"},
        {"[Login]\nUser=alice\nIP = 10.1.2.3", "Login", "IP", nullptr}, // the blank is part of the key
        {"[Login]\nIP = 10.1.2.3", "Login", "IP ", "10.1.2.3"},
        {"[s]\nname=   x  ", "s", "name", "x"},
        {"[LoGiN]\nUSER=alice", "login", "user", "alice"},
        {"[s]\nk=1\nK=2", "s", "k", "1"}, // first matching line wins
        {"[s]\nName=\"a # b\" # note", "s", "Name", "a # b"},
        {"[s]\nName=a # b", "s", "Name", "a"},
        {"[s]\nName=\"x\" tail", "s", "Name", "x"},
        {"[s]\nName=\"abc", "s", "Name", "\"abc"},
        {"[s]\nName=\"\"", "s", "Name", ""},
        {"[s]\n=x", "s", "", nullptr},
        {"[s]\nflag", "s", "flag", nullptr},
        {"[s]\nerror=a=b", "s", "error", "a=b"},
        {"k=v\n[s]\nother=1", "s", "k", nullptr}, // text before the first header is ignored
        {"[Agent]\nversion=2\nold=1\n[agent]\nversion=3", "AGENT", "version", "3"}, // the last header wins
        {"[Agent]\nold=1\n[Agent]\nversion=3", "Agent", "old", nullptr},
        {"[s]\r\nk=v\r\n", "s", "k", "v"},
        {"[s]\nk=v", "t", "k", nullptr},
        {"[UTM] # from the appliance\nserial=X1", "UTM", "serial", "X1"},
        {"[]\n[s]\nk=v", "s", "k", "v"},
        {"[s]\nuser=\xe2\x82\xac", "s", "user", "?"}, // not Latin-1
        {"[s]\nuser=jos\xc3\xa9", "s", "user", "jos\xc3\xa9"},
        {"[a]b]\nk=v", "a", "k", "v"}, // the name ends at the first bracket
    };
    for (const auto &c : cases) {
        IniFile ini;
        ini.parse(QString::fromUtf8(c.text));
        EXPECT_EQ(ini.value(c.section, QString::fromUtf8(c.key), "<default>").toStdString(),
                  c.expected ? c.expected : "<default>")
            << c.text << " / " << c.key;
    }
}

TEST(IniFile, BoolValue)
{
    const struct
    {
        const char *line;
        bool defaultValue, expected;
    } cases[] = {{"Flag=2", false, true},    {"Flag=0", true, false},     {"Flag=on", false, true},
                 {"Flag=true", false, true}, {"Flag=off", true, false},   {"Flag=false", true, false},
                 {"Flag=ON", false, false},  {"Flag=ON", true, true},     {"Flag=-1", false, false},
                 {"Flag=-1", true, true},    {"Other=1", true, true},     {"Other=1", false, false},
                 {"Flag=yes", true, true},   {"Flag=\"1\"", false, true}, {"Flag=1 # on", false, true}};
    for (const auto &c : cases) {
        IniFile ini;
        ini.parse(QStringLiteral("[s]\n") + QString::fromLatin1(c.line));
        EXPECT_EQ(ini.boolValue("s", "Flag", c.defaultValue), c.expected) << c.line << " default " << c.defaultValue;
    }
}

TEST(IniFile, IntValue)
{
    IniFile ini;
    ini.parse(QStringLiteral("[s]\na=42\nb=-7\nc=12x\nd=99999999999\ne=0x10\nf=\ng=2147483647"));
    // Beyond 32 bits, hexadecimal, empty or missing: the default.
    const std::pair<const char *, int> cases[] = {{"a", 42}, {"b", -7}, {"c", 5},          {"d", 5},
                                                  {"e", 5},  {"f", 5},  {"g", 2147483647}, {"missing", 5}};
    for (const auto &[key, expected] : cases)
        EXPECT_EQ(ini.intValue("s", key, 5), expected) << key;
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
    EXPECT_EQ(names, (QStringList{"Network", "network_2"}));
    EXPECT_EQ(ini.sectionOrder(), (QStringList{"NETWORK", "NETWORK_2", "NETWORK"}));
    EXPECT_EQ(ini.value("network", "id"), QStringLiteral("3"));
    EXPECT_FALSE(ini.lastError().isEmpty());
    // Parsing again starts afresh.
    ini.parse(QStringLiteral("only text\nk=v"));
    EXPECT_TRUE(ini.sectionNames().isEmpty());
    EXPECT_TRUE(ini.sectionOrder().isEmpty());
    EXPECT_EQ(ini.keyLineCount(), 0);
}

} // namespace
