#include "installer/messages.h"

#include "toolkit/toolkit.h"

const char* const kCaptionQuestion = "Внимание!";
const char* const kCaptionError = "Ошибка!";
const char* const kCaptionInformation = "Информация.";

namespace {
const std::string kMark = "$_$";

bool Show(ui::Toolkit* tk, ui::BoxStyle style, const std::string& text, int msgId) {
  if (!tk) return false;
  const char* caption = style == ui::BoxStyle::Question ? kCaptionQuestion
                        : style == ui::BoxStyle::Error  ? kCaptionError
                                                        : kCaptionInformation;
  return tk->MessageBox(style, DropMarks(text), caption, msgId);
}
}  // namespace

std::string NumberSuffix(int id) { return "\n(msgid №" + std::to_string(id) + ")"; }

std::string DropMarks(std::string text) {
  size_t pos;
  while ((pos = text.find(kMark)) != std::string::npos) text.erase(pos, kMark.size());
  return text;
}

std::string ComposeMsg(int id, const std::string* values, int valueCount, bool withNumber) {
  std::string text = LoadCatalogueText(id);
  for (int i = 0; i < valueCount; ++i) {
    size_t pos = text.find(kMark);
    if (pos != std::string::npos)
      text.replace(pos, kMark.size(), values[i]);
    else
      text += " " + values[i];
  }
  if (withNumber) text += NumberSuffix(id);
  return text;
}

bool AskMsg(ui::Toolkit* tk, int id, bool withNumber) {
  return AskText(tk, ComposeMsg(id, nullptr, 0, withNumber), id);
}
bool AskMsg1(ui::Toolkit* tk, int id, const std::string& v1, bool withNumber) {
  return AskText(tk, ComposeMsg(id, &v1, 1, withNumber), id);
}
bool AskMsg2(ui::Toolkit* tk, int id, const std::string& v1, const std::string& v2, bool withNumber) {
  const std::string v[] = {v1, v2};
  return AskText(tk, ComposeMsg(id, v, 2, withNumber), id);
}
bool AskMsg3(ui::Toolkit* tk, int id, const std::string& v1, const std::string& v2, const std::string& v3,
             bool withNumber) {
  const std::string v[] = {v1, v2, v3};
  return AskText(tk, ComposeMsg(id, v, 3, withNumber), id);
}
void ErrMsg(ui::Toolkit* tk, int id) { ErrText(tk, ComposeMsg(id, nullptr, 0, true), id); }
void ErrMsg1(ui::Toolkit* tk, int id, const std::string& v1) { ErrText(tk, ComposeMsg(id, &v1, 1, false), id); }
void ErrMsg2(ui::Toolkit* tk, int id, const std::string& v1, const std::string& v2) {
  const std::string v[] = {v1, v2};
  ErrText(tk, ComposeMsg(id, v, 2, false), id);
}
void InfoMsg(ui::Toolkit* tk, int id, bool withNumber) { InfoText(tk, ComposeMsg(id, nullptr, 0, withNumber), id); }

bool AskText(ui::Toolkit* tk, const std::string& text, int msgId) { return Show(tk, ui::BoxStyle::Question, text, msgId); }
void ErrText(ui::Toolkit* tk, const std::string& text, int msgId) { Show(tk, ui::BoxStyle::Error, text, msgId); }
void InfoText(ui::Toolkit* tk, const std::string& text, int msgId) { Show(tk, ui::BoxStyle::Information, text, msgId); }
