// The installer's switches and the answers an unattended run gives by them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "installer/switches.h"

using unattended::AnswerFor;
using unattended::ParseSwitches;
using unattended::Rollback;
using unattended::TSwitches;

TEST(Switches, ReadsEveryNameInAnyCaseWithItsValue) {
  TSwitches s;
  std::string error;
  ASSERT_TRUE(ParseSwitches({"/SILENT", "/Log=C:\\logs\\zum.txt", "/rollback=YES", "/wait=30",
                             "/copy=D:\\Programs", "/name=ZUM_NEW", "/label=Новая", "/clean",
                             "/NoAutoSave", "/start"},
                            false, s, error))
      << error;
  EXPECT_TRUE(s.silent);
  EXPECT_FALSE(s.verySilent);
  EXPECT_TRUE(s.Unattended());
  EXPECT_EQ(s.log, "C:\\logs\\zum.txt");  // values keep their case
  EXPECT_EQ(s.rollback, Rollback::Yes);
  EXPECT_TRUE(s.waitGiven);
  EXPECT_EQ(s.waitSeconds, 30u);
  EXPECT_EQ(s.copy, "D:\\Programs");
  EXPECT_EQ(s.name, "ZUM_NEW");
  EXPECT_EQ(s.label, "Новая");
  EXPECT_TRUE(s.clean && s.noAutoSave && s.start);

  ASSERT_TRUE(ParseSwitches({}, false, s, error));
  EXPECT_FALSE(s.Unattended());
  ASSERT_TRUE(ParseSwitches({"/?"}, false, s, error));
  EXPECT_TRUE(s.help);
  ASSERT_TRUE(ParseSwitches({"--verysilent", "--rollback=no"}, true, s, error)) << error;
  EXPECT_TRUE(s.verySilent);
  EXPECT_EQ(s.rollback, Rollback::No);
}

TEST(Switches, RefusesWhatItCannotHonourNamingTheArgument) {
  struct Case {
    std::vector<std::string> args;
    bool dashes;
    const char* named;
  };
  const Case cases[] = {
      {{"/bogus"}, false, "/bogus"},
      {{"update"}, false, "update"},
      {{"--silent"}, false, "--silent"},  // Windows style only on Windows
      {{"-silent"}, true, "-silent"},
      {{"/silent=1"}, false, "/silent=1"},
      {{"/log"}, false, "/log"},
      {{"/copy="}, false, "/copy="},
      {{"/rollback=maybe"}, false, "/rollback=maybe"},
      {{"/wait=-1"}, false, "/wait=-1"},
      {{"/wait=86401"}, false, "/wait=86401"},
      {{"/wait=1e3"}, false, "/wait=1e3"},
      {{"/silent", "/SILENT"}, false, "/SILENT"},
  };
  for (const Case& c : cases) {
    TSwitches s;
    std::string error;
    EXPECT_FALSE(ParseSwitches(c.args, c.dashes, s, error)) << c.named;
    EXPECT_NE(error.find(c.named), std::string::npos) << error;
  }
}

TEST(Switches, AnswersFollowTheSwitchesOrTheSafeDefault) {
  TSwitches none;
  TSwitches given;
  given.rollback = Rollback::Yes;
  given.waitGiven = true;
  given.waitSeconds = 20;
  given.start = true;
  struct Case {
    int msgId;
    const TSwitches* s;
    uint64_t waitedMs;
    bool yes;
    const char* why;
  };
  const Case cases[] = {
      {3001, &none, 0, false, "ответ по умолчанию"},
      {3001, &given, 0, true, "ответ из параметра /rollback=yes"},
      {3007, &none, 0, false, "ответ по умолчанию"},
      {3007, &given, 19999, true, "ответ из параметра /wait=20"},
      {3007, &given, 20000, false, "ответ из параметра /wait=20"},
      {3009, &none, 0, false, "ответ по умолчанию"},
      {3009, &given, 0, true, "ответ из параметра /start"},
      {3003, &none, 0, true, "ответ по умолчанию"},
      {3011, &none, 0, true, "ответ по умолчанию"},
      {3005, &given, 0, false, "ответ по умолчанию"},  // too little space: no
      {0, &given, 0, false, "ответ по умолчанию"},     // a start as administrator: no
  };
  for (const Case& c : cases) {
    const unattended::TAnswer a = AnswerFor(c.msgId, *c.s, c.waitedMs);
    EXPECT_EQ(a.yes, c.yes) << c.msgId;
    EXPECT_EQ(a.why, c.why) << c.msgId;
  }
  TSwitches no = none;
  no.rollback = Rollback::No;
  EXPECT_EQ(AnswerFor(3001, no, 0).why, "ответ из параметра /rollback=no");
  EXPECT_FALSE(AnswerFor(3001, no, 0).yes);
}
