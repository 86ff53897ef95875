// Whole-file appliers, the ten-block file copy and the byte-for-byte comparison:
// results, protocol lines, progress bar steps and message 5011.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "installer/form1.h"
#include "installer/messages.h"
#include "files/copy.h"
#include "format/checksum.h"
#include "platform/os.h"
#include "product/product.h"
#include "support/test_support.h"
#include "frontends/scripted/scripted.h"

namespace {

using Strings = std::vector<std::string>;

std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

std::string Read(const std::string& path) {
  std::string s;
  EXPECT_TRUE(zt::ReadAll(path, s)) << path;
  return s;
}

// Records every position the bar shows and every time messages are processed.
class RecordingToolkit : public ui::ScriptedToolkit {
 public:
  std::vector<uint32_t> positions;
  int pumped = 0;
  void SetProgress(uint32_t position, uint32_t max) override {
    ScriptedToolkit::SetProgress(position, max);
    positions.push_back(position);
  }
  void ProcessMessages() override { ++pumped; }
};

class FileOpsTest : public ::testing::Test {
 protected:
  RecordingToolkit tk;
  TForm1 form{&tk};
  zt::TempDir dir;
  std::string D = dir.Dos();
};

}  // namespace

// ---- CopyFileBar -------------------------------------------------------------------

TEST_F(FileOpsTest, CopyFileBarBlocksAndSteps) {
  struct Case {
    size_t size;
    std::vector<uint32_t> positions;  // after SetMax(11)
    int pumped;
  } cases[] = {
      {0, {0, 11}, 0},
      {9, {0, 11}, 0},                                 // one block
      {25, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 1},  // ten of 2 bytes and one of 5
      {3000007, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 1},  // blocks over 1 MiB pieces
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const std::string data = Pattern(c.size, static_cast<unsigned>(c.size));
    ASSERT_TRUE(zt::WriteAll(D + "src", data));
    form.PrBar.SetPosition(5);
    tk.positions.clear();
    tk.pumped = 0;
    ASSERT_TRUE(CopyFileBar(D + "src", D + "dst", &form.PrBar, false));
    EXPECT_TRUE(Read(D + "dst") == data);
    EXPECT_EQ(form.PrBar.Max(), 11u);
    // The first recorded value comes from SetMax, which keeps the old position.
    EXPECT_EQ(std::vector<uint32_t>(tk.positions.begin() + 1, tk.positions.end()), c.positions);
    EXPECT_EQ(tk.pumped, c.pumped);
  }
}

TEST_F(FileOpsTest, CopyFileBarDestinationRules) {
  ASSERT_TRUE(zt::WriteAll(D + "src", "new content"));
  ASSERT_TRUE(zt::WriteAll(D + "dst", "old"));
  EXPECT_FALSE(CopyFileBar(D + "src", D + "dst", nullptr, true));
  EXPECT_EQ(Read(D + "dst"), "old");
  EXPECT_TRUE(CopyFileBar(D + "src", D + "dst", nullptr, false));
  EXPECT_EQ(Read(D + "dst"), "new content");

  // Missing folders of the destination are made.
  EXPECT_TRUE(CopyFileBar(D + "src", D + "a\\b\\dst", nullptr, true));
  EXPECT_EQ(Read(D + "a\\b\\dst"), "new content");

  EXPECT_FALSE(CopyFileBar(D + "missing", D + "dst2", nullptr, false));
  // A source someone is writing to is not copied.
  os::File writer;
  ASSERT_TRUE(writer.Open(D + "src", os::kWrite, os::kShareAll, os::Disposition::OpenExisting));
  EXPECT_FALSE(CopyFileBar(D + "src", D + "dst3", nullptr, false));
}

// ---- CompareFiles ------------------------------------------------------------------

TEST_F(FileOpsTest, CompareFilesContent) {
  struct Case {
    size_t size;
    long diffAt;       // -1: equal
    uint32_t barMax;   // chunks + 1
  } cases[] = {
      {1, -1, 2},
      {99, 98, 2},           // fewer than 100 bytes: one chunk of all
      {250, -1, 126},        // chunks of 2 bytes, no rest
      {1001, 1000, 101},     // the last byte lies in the rest after 100 chunks
      {1001, 0, 101},
      {5000000, -1, 101},    // chunks of 50,000 bytes
      {5000000, 2500001, 101},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " bytes, difference at " << c.diffAt);
    std::string a = Pattern(c.size, 7), b = a;
    if (c.diffAt >= 0) b[c.diffAt] ^= 0x40;
    ASSERT_TRUE(zt::WriteAll(D + "a", a));
    ASSERT_TRUE(zt::WriteAll(D + "b", b));
    const size_t lines = form.ProtLines().size();
    EXPECT_EQ(form.CompareFiles(D + "a", D + "b"), c.diffAt < 0);
    EXPECT_EQ(form.PrBar.Max(), c.barMax);
    EXPECT_EQ(form.ProtLines().size(), lines + 1);
    EXPECT_EQ(form.ProtLines().back(), "Сравнение файлов " + D + "a с " + D + "b");
  }
  EXPECT_TRUE(tk.boxes.empty());  // a difference in content is no error message
}

TEST_F(FileOpsTest, CompareFilesEmptyFilesLeaveTheBarAlone) {
  ASSERT_TRUE(zt::WriteAll(D + "a", ""));
  ASSERT_TRUE(zt::WriteAll(D + "b", ""));
  form.PrBar.SetMax(50);
  form.PrBar.SetPosition(7);
  tk.positions.clear();
  EXPECT_TRUE(form.CompareFiles(D + "a", D + "b"));
  EXPECT_TRUE(tk.positions.empty());
  EXPECT_TRUE(tk.boxes.empty());
}

TEST_F(FileOpsTest, CompareFilesUnreadableShowsMessage5011) {
  const std::string expectText = ComposeMsg(5011, std::vector<std::string>{
      D + "a\n" + D + "b\n", "\"Сравнение файлов\""}.data(), 2, false);
  ASSERT_NE(expectText.find("Невозможно выполнить операцию"), std::string::npos);

  ASSERT_TRUE(zt::WriteAll(D + "a", "12345"));
  ASSERT_TRUE(zt::WriteAll(D + "b", "1234"));
  struct Case {
    const char* name;
    std::string b;
    bool hold;
  } cases[] = {
      {"sizes differ", "1234", false},
      {"B missing", "", false},
      {"B held open by another handle", "12345", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.b.empty()) {
      os::DeleteFile(D + "b");
    } else {
      ASSERT_TRUE(zt::WriteAll(D + "b", c.b));
    }
    os::File holder;
    if (c.hold) {
      ASSERT_TRUE(holder.Open(D + "b", os::kRead, os::kShareAll, os::Disposition::OpenExisting));
    }
    tk.boxes.clear();
    EXPECT_FALSE(form.CompareFiles(D + "a", D + "b"));
    const Strings& l = form.ProtLines();
    ASSERT_GE(l.size(), 2u);
    EXPECT_EQ(l[l.size() - 2], "Сравнение файлов " + D + "a с " + D + "b");
    EXPECT_EQ(l.back(), "Ошибка № 5011");
    ASSERT_EQ(tk.BoxIds(), std::vector<int>{5011});
    EXPECT_EQ(tk.boxes[0].style, ui::BoxStyle::Error);
    EXPECT_EQ(tk.boxes[0].text, DropMarks(expectText));
  }
  // The same files compare equal once nobody holds them.
  EXPECT_TRUE(form.CompareFiles(D + "a", D + "b"));
}

// ---- ApplyAddRepl / ApplyAddRepM ------------------------------------------------------

namespace {

class ApplyTest : public FileOpsTest {
 protected:
  std::string target = D + "EXE\\zum.exe";
  std::string work = D + "WRK\\zum.exe";
  std::string newData = Pattern(70000, 3);
  pkg::TPartNfo entry;

  void SetUp() override {
    FileOpsTest::SetUp();
    ASSERT_TRUE(os::CreateDir(D + "EXE"));
    ASSERT_TRUE(os::CreateDir(D + "WRK"));
    ASSERT_TRUE(zt::WriteAll(work, newData));
    entry.Kind = pkg::kAddRepl;
    entry.Name = "EXE\\zum.exe";
    entry.NewSize = static_cast<uint32_t>(newData.size());
    entry.NewSum = pkg::AddSum(newData.data(), newData.size());
    form.ConfigBuffer.assign(product::kConfigSize, 0);
  }
  Strings LinesFrom(size_t from) const {
    return Strings(form.ProtLines().begin() + from, form.ProtLines().end());
  }
};

}  // namespace

TEST_F(ApplyTest, ReplacesAnExistingFile) {
  ASSERT_TRUE(zt::WriteAll(target, "old build"));
  EXPECT_TRUE(form.ApplyAddRepl(entry, target, work, D + "BAK1\\zum.exe"));
  EXPECT_TRUE(Read(target) == newData);
  EXPECT_FALSE(os::FileExists(work));
  EXPECT_EQ(form.ProtLines(), (Strings{
      "Удаление файла " + target + " ...ОК ",
      "Перемещение файла " + work + " в " + target + " ...ОК ",
      "Подсчет контрольной суммы файла " + target,
      "...ОК ",
      "Сравнение контрольной суммы с эталоном " + target + " ...ОК ",
  }));
}

TEST_F(ApplyTest, TargetMissingOrAFolder) {
  EXPECT_TRUE(form.ApplyAddRepl(entry, target, work, ""));
  EXPECT_TRUE(Read(target) == newData);
  EXPECT_EQ(form.ProtLines().front(), "Перемещение файла " + work + " в " + target + " ...ОК ");

  // A folder tree where the file belongs goes, and the file takes its place.
  ASSERT_TRUE(os::DeleteFile(target));
  ASSERT_TRUE(os::CreateDir(target));
  ASSERT_TRUE(os::CreateDir(target + "\\sub"));
  ASSERT_TRUE(zt::WriteAll(target + "\\sub\\f", "x"));
  ASSERT_TRUE(zt::WriteAll(work, newData));
  const size_t from = form.ProtLines().size();
  EXPECT_TRUE(form.ApplyAddRepl(entry, target, work, ""));
  EXPECT_TRUE(os::FileExists(target));
  EXPECT_TRUE(Read(target) == newData);
  EXPECT_EQ(form.ProtLines()[from + 0], " ...очистка " + target + "\\");
  EXPECT_NE(std::find(form.ProtLines().begin(), form.ProtLines().end(), "Удаление папки " + target + "\\"),
            form.ProtLines().end());
}

TEST_F(ApplyTest, FailuresStopTheApplier) {
  // Right size, wrong checksum: fails after the file has been moved in.
  ASSERT_TRUE(zt::WriteAll(target, "old"));
  pkg::TPartNfo wrongSum = entry;
  wrongSum.NewSum ^= 1;
  EXPECT_FALSE(form.ApplyAddRepl(wrongSum, target, work, ""));
  EXPECT_TRUE(Read(target) == newData);
  EXPECT_EQ(form.ProtLines().back(),
            "Сравнение контрольной суммы с эталоном " + target + " ...Были ошибки ");

  // Right checksum, wrong size.
  ASSERT_TRUE(zt::WriteAll(work, newData));
  pkg::TPartNfo wrongSize = entry;
  wrongSize.NewSize += 1;
  EXPECT_FALSE(form.ApplyAddRepl(wrongSize, target, work, ""));
  EXPECT_EQ(form.ProtLines().back(),
            "Сравнение контрольной суммы с эталоном " + target + " ...Были ошибки ");

  // No work file: the move fails; the target has already gone.
  const size_t from = form.ProtLines().size();
  EXPECT_FALSE(form.ApplyAddRepl(entry, target, work, ""));
  EXPECT_FALSE(os::FileExists(target));
  EXPECT_EQ(LinesFrom(from), (Strings{
      "Удаление файла " + target + " ...ОК ",
      "Перемещение файла " + work + " в " + target + " ...Были ошибки ",
  }));

  // A target that cannot be removed (held without shared deleting).
  ASSERT_TRUE(zt::WriteAll(target, "old"));
  ASSERT_TRUE(zt::WriteAll(work, newData));
  os::File holder;
  ASSERT_TRUE(holder.Open(target, os::kRead, os::kShareRead, os::Disposition::OpenExisting));
  EXPECT_FALSE(form.ApplyAddRepl(entry, target, work, ""));
  EXPECT_EQ(form.ProtLines().back(), "Удаление файла " + target + " ...Были ошибки ");
  EXPECT_TRUE(os::FileExists(work));
}

TEST_F(ApplyTest, AddRepMAppliesOnlyTheInstalledEdition) {
  struct Case {
    uint8_t edition;
    uint32_t variant;
    bool applied;
  } cases[] = {{0, 1, true}, {0, 2, false}, {1, 1, false}, {1, 2, true}, {2, 1, false}, {2, 2, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "edition " << int{c.edition} << ", variant " << c.variant);
    ASSERT_TRUE(zt::WriteAll(target, "old build"));
    ASSERT_TRUE(zt::WriteAll(work, newData));
    form.ConfigBuffer[product::kConfigEditionOffset] = c.edition;
    pkg::TPartNfo e = entry;
    e.Kind = pkg::kAddRepM;
    e.DiffSum = c.variant;
    const size_t lines = form.ProtLines().size();
    EXPECT_TRUE(form.ApplyAddRepM(e, target, work, ""));
    EXPECT_EQ(Read(target) == newData, c.applied);
    EXPECT_EQ(os::FileExists(work), !c.applied);
    if (!c.applied) {
      EXPECT_EQ(form.ProtLines().size(), lines);
    }
  }

  // Without the configuration record the edition is unknown: nothing is applied.
  form.ConfigBuffer.clear();
  ASSERT_TRUE(zt::WriteAll(target, "old build"));
  pkg::TPartNfo e = entry;
  e.DiffSum = 1;
  EXPECT_FALSE(form.ApplyAddRepM(e, target, work, ""));
  EXPECT_EQ(Read(target), "old build");
}
