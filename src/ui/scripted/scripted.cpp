#include "ui/scripted/scripted.h"

namespace ui {

bool ScriptedToolkit::MessageBox(BoxStyle style, const std::string& text,
                                 const std::string& caption, int msgId) {
  RecordedBox box{style, msgId, text, caption, false};
  if (style == BoxStyle::Question) {
    if (!answers.empty()) {
      box.answer = answers.front();
      answers.pop_front();
    } else {
      box.answer = defaultAnswer;
    }
  }
  if (onBox) onBox(box);
  boxes.push_back(box);
  return box.answer;
}

std::string ScriptedToolkit::BrowseForFolder(const std::string&) {
  if (folders.empty()) return std::string();
  std::string folder = folders.front();
  folders.pop_front();
  return folder;
}

std::vector<int> ScriptedToolkit::BoxIds() const {
  std::vector<int> ids;
  for (const RecordedBox& b : boxes) ids.push_back(b.msgId);
  return ids;
}

}  // namespace ui
