// The protocol log: kind phrases, line growth, the line checksum, seals and the
// time-stamped records that go into the journal file.
#include <gtest/gtest.h>

#include "installer/form1.h"
#include "format/protocol_record.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"

TEST(LineSum, KnownValues) {
  EXPECT_EQ(prot::LineSum(""), 0u);
  EXPECT_EQ(prot::LineSum("abc"), 397824173u);
  EXPECT_EQ(prot::LineSum("a"), 4294172769u);
}

TEST(Seal, SealsAndChecks) {
  std::string r = "abc";
  ASSERT_TRUE(prot::SealLine(r));
  EXPECT_EQ(r, "abc0397824173");
  EXPECT_TRUE(prot::IsSealed(r));

  std::string a = "a";
  prot::SealLine(a);
  EXPECT_EQ(a, "a4294172769");

  std::string altered = r;
  altered[5] = altered[5] == '9' ? '8' : '9';
  EXPECT_FALSE(prot::IsSealed(altered));
  EXPECT_FALSE(prot::IsSealed("012345678"));        // shorter than a seal
  EXPECT_TRUE(prot::IsSealed("line abcdefghij"));   // a tail that is not a number

  std::string stripped = r;
  ASSERT_TRUE(prot::StripSeal(stripped));
  EXPECT_EQ(stripped, "abc");
  std::string shortRec = "123";
  EXPECT_FALSE(prot::StripSeal(shortRec));
  EXPECT_EQ(shortRec, "123");
}

TEST(ProtocolLine, PrefixesAndLayout) {
  EXPECT_EQ(prot::MakeLine(prot::kProtPlain, "Самопроверка"), " Самопроверка");
  EXPECT_EQ(prot::MakeLine(prot::kProtOk, ""), "...ОК ");
  EXPECT_EQ(prot::MakeLine(prot::kProtErrorNo, "5009"), "Ошибка № 5009");
  EXPECT_EQ(prot::MakeLine(prot::kProtApplyDiff, "x"),
            "Применение \"diff\" различий (старый/новый -> новый) к файлу x");
  EXPECT_EQ(std::string(prot::KindPrefix(26)), "Произошла аварийная ситуация");
  EXPECT_EQ(std::string(prot::KindPrefix(27)), "");
  EXPECT_EQ(static_cast<unsigned char>(prot::KindPrefix(3)[7]), 0xB9);  // "№" in CP1251
}

TEST(ProtocolRecord, TimeStampAndSeal) {
  os::LocalTime t{2026, 3, 7, 9, 5, 4, 32};
  EXPECT_EQ(prot::FormatTimeStamp(t), "07.03.26 09:05:04.032");
  std::string rec = prot::MakeRecord(t, " Самопроверка");
  EXPECT_EQ(rec.substr(0, 2 + 21), "; 07.03.26 09:05:04.032");
  EXPECT_EQ(rec.size(), 2 + 21 + std::string(" Самопроверка").size() + 10);
  EXPECT_TRUE(prot::IsSealed(rec));
}

class AddProtTest : public ::testing::Test {
 protected:
  ui::ScriptedToolkit tk;
  TForm1 form{&tk};
};

TEST_F(AddProtTest, GrowsTheLastLineAndKeepsItSelected) {
  // The first write with newLine false still makes a line.
  EXPECT_FALSE(form.AddProt(prot::kProtPlain, "Инициализация данных", false));  // no journal: false
  form.ProtResult(true, false);
  ASSERT_EQ(form.ProtLines().size(), 1u);
  EXPECT_EQ(form.ProtLines()[0], " Инициализация данных ...ОК ");
  EXPECT_EQ(tk.lines, form.ProtLines());
  EXPECT_EQ(tk.selected, 0);
  form.ProtResult(false, true);
  EXPECT_EQ(form.ProtLines().back(), "...Были ошибки ");
  EXPECT_EQ(tk.selected, 1);
}

TEST_F(AddProtTest, RecordsGoToTheJournalWithTheirOwnLineBreaks) {
  zt::TempDir dir;
  const std::string journal = dir.Dos() + "zum_1.txt";
  ASSERT_TRUE(form.JournalStream.Open(journal, os::kRead | os::kWrite, os::kShareRead,
                                      os::Disposition::CreateAlways));
  form.JournalMuted = true;
  EXPECT_TRUE(form.AddProt(prot::kProtPlain, "muted"));  // muted: true, nothing written
  form.JournalMuted = false;
  EXPECT_TRUE(form.AddProt(prot::kProtPlain, "Инициализация данных"));
  EXPECT_TRUE(form.ProtResult(true, false));
  form.JournalStream.Close();

  std::string bytes;
  ASSERT_TRUE(zt::ReadAll(journal, bytes));
  size_t crlf = bytes.find("\r\n");
  ASSERT_NE(crlf, std::string::npos);
  std::string first = bytes.substr(0, crlf), second = bytes.substr(crlf + 2);
  EXPECT_EQ(bytes.find("muted"), std::string::npos);
  EXPECT_EQ(first.substr(0, 2), "; ");
  EXPECT_EQ(first.substr(23, first.size() - 33), " Инициализация данных");
  // The record holds the line of this one write, not the grown list-box line.
  EXPECT_EQ(second.substr(23, second.size() - 33), "...ОК ");
  EXPECT_TRUE(prot::IsSealed(first));
  EXPECT_TRUE(prot::IsSealed(second));
  EXPECT_NE(bytes.substr(bytes.size() - 2), "\r\n");  // never followed by a break
  EXPECT_EQ(form.ProtLines().back(), " Инициализация данных ...ОК ");
}
