// Messages by number: catalogue texts completed with "$_$" values and an optional
// number suffix, shown in system-modal boxes of three styles.
#pragma once

#include <string>

namespace ui { class Toolkit; }

// The catalogue text of `id`; "" for an id the catalogue does not hold.
std::string LoadCatalogueText(int id);

// Composing, without showing (the pure part, tested directly).
std::string ComposeMsg(int id, const std::string* values, int valueCount, bool withNumber);
std::string NumberSuffix(int id);   // "\n(msgid №" + id + ")"
std::string DropMarks(std::string text);

// Shown through `tk`; with no toolkit nothing is shown and a question is answered No.
bool AskMsg(ui::Toolkit* tk, int id, bool withNumber);
bool AskMsg1(ui::Toolkit* tk, int id, const std::string& value1, bool withNumber);
bool AskMsg2(ui::Toolkit* tk, int id, const std::string& value1, const std::string& value2, bool withNumber);
bool AskMsg3(ui::Toolkit* tk, int id, const std::string& value1, const std::string& value2,
             const std::string& value3, bool withNumber);
void ErrMsg(ui::Toolkit* tk, int id);
void ErrMsg1(ui::Toolkit* tk, int id, const std::string& value1);
void ErrMsg2(ui::Toolkit* tk, int id, const std::string& value1, const std::string& value2);
void InfoMsg(ui::Toolkit* tk, int id, bool withNumber);

bool AskText(ui::Toolkit* tk, const std::string& text, int msgId = 0);
void ErrText(ui::Toolkit* tk, const std::string& text, int msgId = 0);
void InfoText(ui::Toolkit* tk, const std::string& text, int msgId = 0);

extern const char* const kCaptionQuestion;     // "Внимание!"
extern const char* const kCaptionError;        // "Ошибка!"
extern const char* const kCaptionInformation;  // "Информация."
