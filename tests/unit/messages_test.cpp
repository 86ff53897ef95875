// Messages by number: catalogue texts, "$_$" values, the number suffix and the boxes.
#include <gtest/gtest.h>

#include "installer/messages.h"
#include "frontends/scripted/scripted.h"

namespace {

class MessagesTest : public ::testing::Test {
 protected:
  ui::ScriptedToolkit tk;
};

}  // namespace

TEST(Catalogue, TextsByNumber) {
  EXPECT_EQ(LoadCatalogueText(5009), "Не найдена Программа ZUM.\nОбновление завершает работу.");
  EXPECT_EQ(LoadCatalogueText(4242), "");
  std::string t3011 = LoadCatalogueText(3011);
  EXPECT_GT(t3011.size(), 255u);
  const std::string tail = "антивирусной программе?";
  EXPECT_EQ(t3011.substr(t3011.size() - tail.size()), tail);
}

TEST(ComposeMsg, SubstitutionRules) {
  const std::string v2[] = {"1000", "5000"};
  EXPECT_EQ(ComposeMsg(3005, v2, 2, false),
            "Недостаточно места\n  имеется 1000 байт\nтребуется 5000 байт\n\nПродолжить выбор?");
  // No placeholder: the value is appended after a blank.
  const std::string x[] = {"X"};
  EXPECT_EQ(ComposeMsg(5009, x, 1, false), LoadCatalogueText(5009) + " X");
  // A value holding "$_$" is consumed by the next substitution.
  const std::string nested[] = {"a$_$b", "c"};
  EXPECT_EQ(ComposeMsg(5011, nested, 2, false).substr(0, 4), "acb\n");
  // The number suffix, "№" as 0xB9.
  std::string withNo = ComposeMsg(5003, nullptr, 0, true);
  EXPECT_EQ(withNo.substr(withNo.size() - 14), "\n(msgid №5003)");
  EXPECT_EQ(static_cast<unsigned char>(withNo[withNo.size() - 6]), 0xB9);
  // Unknown id: only the values and the suffix.
  const std::string v[] = {"v"};
  EXPECT_EQ(ComposeMsg(4242, v, 1, true), " v\n(msgid №4242)");
}

TEST(DropMarks, RemovesEveryMark) {
  EXPECT_EQ(DropMarks("a$_$b$_$$_$c"), "abc");
}

TEST_F(MessagesTest, BoxesHaveTheirStylesCaptionsAndSuffixes) {
  tk.answers = {true, false};
  EXPECT_TRUE(AskMsg1(&tk, 3007, "Z:\\zum\\upd.exe", true));
  EXPECT_FALSE(AskMsg(&tk, 3009, true));
  ErrMsg(&tk, 5003);
  ErrMsg1(&tk, 5007, "Z:\\upd.exe");
  InfoMsg(&tk, 5017, false);
  ErrMsg1(&tk, 5001, "upd.exe");  // a placeholder left without a value disappears
  ASSERT_EQ(tk.boxes.size(), 6u);
  EXPECT_EQ(tk.boxes[0].caption, "Внимание!");
  EXPECT_EQ(tk.boxes[0].style, ui::BoxStyle::Question);
  EXPECT_NE(tk.boxes[0].text.find("\nZ:\\zum\\upd.exe\n"), std::string::npos);
  EXPECT_EQ(tk.boxes[0].text.substr(tk.boxes[0].text.size() - 14), "\n(msgid №3007)");
  EXPECT_EQ(tk.boxes[2].caption, "Ошибка!");
  EXPECT_EQ(tk.boxes[2].text.substr(tk.boxes[2].text.size() - 14), "\n(msgid №5003)");
  EXPECT_EQ(tk.boxes[3].text.find("msgid"), std::string::npos);
  EXPECT_EQ(tk.boxes[4].caption, "Информация.");
  EXPECT_EQ(tk.boxes[4].style, ui::BoxStyle::Information);
  EXPECT_EQ(tk.boxes[5].text.substr(0, 9), "upd.exe \n");
  EXPECT_EQ(tk.BoxIds(), (std::vector<int>{3007, 3009, 5003, 5007, 5017, 5001}));

  // A value that leaves a mark behind: removed before showing.
  AskMsg1(&tk, 5009, "$_$", false);
  EXPECT_EQ(tk.boxes.back().text, LoadCatalogueText(5009) + " ");
}
