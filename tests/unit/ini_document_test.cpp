// The in-memory settings document: lookups, cursors, messages, field limits.

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ini/ini_file.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

std::string dumpOf(CIniFile& ini) {
  CaptureStdout();
  ini.dump();
  return GetCapturedStdout();
}

// One section "DBDATEN" holding host=localhost and user=root.
void fill(CIniFile& ini) {
  ASSERT_TRUE(ini.addSection("DBDATEN"));
  ASSERT_TRUE(ini.addValue(nullptr, "host", "localhost"));
  ASSERT_TRUE(ini.addValue(nullptr, "user", "root"));
}

TEST(IniDocument, GettersOnMissingSectionReportOnlyTheSection) {
  CIniFile ini;
  CaptureStderr();
  EXPECT_EQ(ini.getValue("DBDATEN", "host"), nullptr);
  EXPECT_EQ(ini.getIntValue("DBDATEN", "host"), 0);
  EXPECT_EQ(ini.getDoubleValue("DBDATEN", "host"), 0.0);
  EXPECT_FALSE(ini.getBoolValue("DBDATEN", "host"));
  const std::string line = "Schl\xFCssel DBDATEN konnte nicht gefunden werden.\n";
  EXPECT_EQ(GetCapturedStderr(), line + line + line + line);
}

TEST(IniDocument, GettersOnMissingValueReportOnlyTheValue) {
  CIniFile ini;
  fill(ini);
  CaptureStderr();
  EXPECT_EQ(ini.getValue("DBDATEN", "pass"), nullptr);
  EXPECT_FALSE(ini.getBoolValue("DBDATEN", "pass"));
  EXPECT_EQ(GetCapturedStderr(),
            "Wert pass konnte nicht gefunden werden.\n"
            "Wert pass konnte nicht gefunden werden.\n");
}

TEST(IniDocument, NumbersAndSwitchesFollowAtoiAndAtof) {
  CIniFile ini;
  ini.addSection("s");
  const char* trueTexts[] = {"1", "2", "-1", " 1"};
  const char* falseTexts[] = {"0", "", "ja", "true"};
  for (const char* text : trueTexts) {
    ini.setValue("s", "v", text);
    EXPECT_TRUE(ini.getBoolValue("s", "v")) << '"' << text << '"';
  }
  for (const char* text : falseTexts) {
    ini.setValue("s", "v", text);
    EXPECT_FALSE(ini.getBoolValue("s", "v")) << '"' << text << '"';
  }
  ini.setValue("s", "v", "12ab");
  EXPECT_EQ(ini.getIntValue("s", "v"), 12);
  ini.setValue("s", "v", "ab");
  EXPECT_EQ(ini.getIntValue("s", "v"), 0);
  ini.setValue("s", "v", " 2.5x");
  EXPECT_DOUBLE_EQ(ini.getDoubleValue("s", "v"), 2.5);
}

TEST(IniDocument, NamesMatchExactly) {
  CIniFile ini;
  fill(ini);
  CaptureStderr();
  EXPECT_EQ(ini.getValue("DBDATEN", "Host"), nullptr);
  EXPECT_EQ(ini.getValue("DBDATEN", "host "), nullptr);
  EXPECT_EQ(ini.getValue("dbdaten", "host"), nullptr);
  GetCapturedStderr();
  EXPECT_STREQ(ini.getValue("DBDATEN", "host"), "localhost");
}

TEST(IniDocument, ValuePointerShowsLaterChanges) {
  CIniFile ini;
  fill(ini);
  const char* host = ini.getValue("DBDATEN", "host");
  EXPECT_TRUE(ini.setValue("DBDATEN", "host", "db.example"));
  EXPECT_STREQ(host, "db.example");
}

TEST(IniCursor, DuplicateSectionBecomesCurrentForNullSectionAdds) {
  CIniFile ini;
  fill(ini);
  ini.addSection("OTHER");
  CaptureStderr();
  EXPECT_FALSE(ini.addSection("DBDATEN"));
  EXPECT_EQ(GetCapturedStderr(),
            "Schl\xFCssel DBDATEN ist bereits vorhanden! "
            "Es wurde kein neuer angelegt!\n");
  EXPECT_TRUE(ini.addValue(nullptr, "pass", "x"));
  EXPECT_STREQ(ini.getValue("DBDATEN", "pass"), "x");
}

TEST(IniCursor, FailedSectionLookupMovesToFirstSection) {
  CIniFile ini;
  fill(ini);
  ini.addSection("OTHER");
  CaptureStderr();
  ini.getValue("MISSING", "x");
  GetCapturedStderr();
  EXPECT_TRUE(ini.addValue(nullptr, "late", "1"));
  EXPECT_STREQ(ini.getValue("DBDATEN", "late"), "1");
}

TEST(IniCursor, AddsWithoutTargetFailSilently) {
  CIniFile ini;
  EXPECT_FALSE(ini.findValue("host"));
  CaptureStderr();
  EXPECT_FALSE(ini.addValue(nullptr, "host", "x"));
  EXPECT_FALSE(ini.addValue("NOPE", "host", "x"));
  EXPECT_FALSE(ini.addIntValue(nullptr, "n", 1));
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  EXPECT_FALSE(ini.setValue("NOPE", "host", "x"));
  EXPECT_EQ(GetCapturedStderr(),
            "Schl\xFCssel NOPE konnte nicht gefunden werden.\n");
  EXPECT_EQ(dumpOf(ini), "");
}

TEST(IniCursor, ClearEmptiesDocumentAndCursors) {
  CIniFile ini;
  fill(ini);
  ini.clear();
  EXPECT_EQ(dumpOf(ini), "");
  EXPECT_FALSE(ini.addValue(nullptr, "host", "x"));
  EXPECT_TRUE(ini.addSection("DBDATEN"));
  EXPECT_TRUE(ini.addValue(nullptr, "host", "y"));
}

TEST(IniChanges, DuplicateValueKeepsOldText) {
  CIniFile ini;
  fill(ini);
  CaptureStderr();
  EXPECT_FALSE(ini.addValue("DBDATEN", "host", "other"));
  EXPECT_FALSE(ini.addIntValue("DBDATEN", "host", 7));
  const std::string line =
      "Wert host bereits vorhanden! Es wurde kein neuer angelegt!\n";
  EXPECT_EQ(GetCapturedStderr(), line + line);
  EXPECT_STREQ(ini.getValue("DBDATEN", "host"), "localhost");
}

TEST(IniChanges, SetValueOverwritesInPlaceOrAppends) {
  CIniFile ini;
  fill(ini);
  CaptureStderr();
  EXPECT_TRUE(ini.setValue("DBDATEN", "host", "h2"));
  EXPECT_EQ(GetCapturedStderr(), "");
  CaptureStderr();
  EXPECT_TRUE(ini.setValue("DBDATEN", "zeit", "20240101120000"));
  EXPECT_EQ(GetCapturedStderr(),
            "Wert zeit konnte nicht gefunden werden.\n"
            "Lege Wert zeit neu an.\n");
  EXPECT_EQ(dumpOf(ini),
            "[DBDATEN]\n -> host = \"h2\"\n -> user = \"root\"\n"
            " -> zeit = \"20240101120000\"\n\n");
}

TEST(IniChanges, AddIntValueWritesDecimalText) {
  CIniFile ini;
  ini.addSection("s");
  EXPECT_TRUE(ini.addIntValue("s", "neg", -15));
  EXPECT_TRUE(ini.addIntValue(nullptr, "min", INT_MIN));
  EXPECT_TRUE(ini.addIntValue(nullptr, "zero", 0));
  EXPECT_STREQ(ini.getValue("s", "neg"), "-15");
  EXPECT_STREQ(ini.getValue("s", "min"), "-2147483648");
  EXPECT_STREQ(ini.getValue("s", "zero"), "0");
}

TEST(IniChanges, DumpFormat) {
  CIniFile ini;
  ini.addSection("DBDATEN");
  ini.addValue(nullptr, "host", "localhost");
  ini.addSection("EMPTY");
  EXPECT_EQ(dumpOf(ini),
            "[DBDATEN]\n -> host = \"localhost\"\n\n[EMPTY]\n\n");
}

TEST(IniLimits, FieldsAreCutAndTerminated) {
  const std::string text50(50, 'v');
  CIniFile ini;
  ini.addSection("s");
  ini.addValue(nullptr, "exact", text50.c_str());
  ini.addValue(nullptr, "long", (text50 + "w").c_str());
  EXPECT_EQ(ini.getValue("s", "exact"), text50);
  EXPECT_EQ(ini.getValue("s", "long"), text50);
  ini.setValue("s", "exact", std::string(500, 'z').c_str());
  EXPECT_EQ(ini.getValue("s", "exact"), std::string(50, 'z'));

  const std::string name20 = "abcdefghijklmnopqrst";
  CIniFile names;
  names.addSection((name20 + "uvwxyz").c_str());
  names.addValue(nullptr, (name20 + "XYZ").c_str(), "1");
  EXPECT_EQ(dumpOf(names),
            "[" + name20 + "]\n -> " + name20 + " = \"1\"\n\n");
}

// A name longer than a record holds finds the record it made when added, so
// adding it twice cannot create two sections or values of one stored name.
TEST(IniLimits, OverlongNamesStayUnique) {
  const std::string longName(30, 'n');
  CIniFile ini;
  EXPECT_TRUE(ini.addSection(longName.c_str()));
  CaptureStderr();
  EXPECT_FALSE(ini.addSection(longName.c_str()));
  EXPECT_TRUE(ini.addValue(nullptr, longName.c_str(), "a"));
  EXPECT_FALSE(ini.addValue(nullptr, longName.c_str(), "b"));
  GetCapturedStderr();
  EXPECT_TRUE(ini.setValue(longName.c_str(), longName.c_str(), "c"));
  EXPECT_STREQ(ini.getValue(longName.c_str(), longName.c_str()), "c");
  EXPECT_EQ(dumpOf(ini), "[" + std::string(20, 'n') + "]\n -> " +
                             std::string(20, 'n') + " = \"c\"\n\n");
}

TEST(IniMemory, FailedAllocationsReportAndChangeNothing) {
  CIniFile ini;
  fill(ini);
  const std::string before = dumpOf(ini);
  iniFailNextAllocations(1);
  CaptureStderr();
  EXPECT_FALSE(ini.addSection("NEU"));
  EXPECT_EQ(GetCapturedStderr(),
            "F\xFCr den Schl\xFCssel NEU konnte kein Speicher zur "
            "verf\xFCgung gestellt werden.\n");
  iniFailNextAllocations(2);
  CaptureStderr();
  EXPECT_FALSE(ini.addValue("DBDATEN", "pass", "x"));
  EXPECT_FALSE(ini.setValue("DBDATEN", "pass", "x"));
  EXPECT_EQ(GetCapturedStderr(),
            "F\xFCr den Wert pass konnte kein Speicher zur "
            "verf\xFCgung gestellt werden.\n"
            "Wert pass konnte nicht gefunden werden.\n"
            "Lege Wert pass neu an.\n"
            "F\xFCr den Wert pass konnte kein Speicher zur "
            "verf\xFCgung gestellt werden.\n");
  EXPECT_EQ(dumpOf(ini), before);
  EXPECT_TRUE(ini.addSection("NEU"));
}

}  // namespace
