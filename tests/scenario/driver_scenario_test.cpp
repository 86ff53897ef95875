// The driver's sequence and its end block, run with the scripted front end.
#include <gtest/gtest.h>

#include "installer/form1.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"

namespace {

class DriverTest : public ::testing::Test {
 protected:
  ui::ScriptedToolkit tk;
  zt::TempDir dir;
};

}  // namespace

// An installer whose own file carries no package fails before the installation is
// located: the protocol goes beside the installer as "Протокол.txt".
TEST_F(DriverTest, FailureBeforeTheInstallationIsLocatedSavesProtocolBesideTheInstaller) {
  const std::string exe = dir.Dos() + "update.exe";
  ASSERT_TRUE(zt::WriteAll(exe, std::string(4096, 'x')));
  TForm1 form(&tk);
  form.ExePathOverride = exe;
  form.FormCreate();
  EXPECT_EQ(tk.captions.front(), "...");
  EXPECT_FALSE(form.FormClose());  // not finished: closing refused

  form.FormActivate();
  EXPECT_FALSE(form.RunOk());
  EXPECT_TRUE(form.SeqFinished);
  EXPECT_TRUE(tk.exitPanelShown);
  EXPECT_TRUE(form.FormClose());
  EXPECT_EQ(form.ProtocolPath(), dir.Dos() + "Протокол.txt");

  std::string saved;
  ASSERT_TRUE(zt::ReadAll(dir.Dos() + "Протокол.txt", saved));
  std::string expected;
  const auto& lines = form.ProtLines();
  ASSERT_GE(lines.size(), 4u);
  // The two lines added after saving are in the list box only.
  EXPECT_EQ(lines[lines.size() - 2], "Техническая информация о проведенных действиях сохранена в: ");
  EXPECT_EQ(lines.back(), dir.Dos() + "Протокол.txt");
  for (size_t i = 0; i + 2 < lines.size(); ++i) expected += lines[i] + "\r\n";
  EXPECT_EQ(saved, expected);
  EXPECT_EQ(lines[0], " ...Инициализация");
  EXPECT_EQ(lines[1], " Самопроверка");
  // The self-check failed: no product-start question.
  for (const auto& box : tk.boxes) EXPECT_NE(box.msgId, 3009);

  // A further activation does nothing.
  size_t count = lines.size();
  form.FormActivate();
  EXPECT_EQ(form.ProtLines().size(), count);
}

TEST_F(DriverTest, UnwritableProtocolFileIsShownAndTheWindowCanStillClose) {
  TForm1 form(&tk);
  form.ExePathOverride = dir.Dos() + "no such folder\\update.exe";
  form.FormCreate();
  form.FormActivate();
  ASSERT_EQ(tk.exceptions.size(), 1u);
  EXPECT_NE(tk.exceptions[0].find("Протокол.txt"), std::string::npos);
  EXPECT_TRUE(form.FormClose());
  // The rest of the end block was skipped.
  EXPECT_NE(form.ProtLines().back(), dir.Dos() + "no such folder\\Протокол.txt");
}
