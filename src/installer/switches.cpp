#include "installer/switches.h"

#include "base/cp1251.h"

namespace unattended {

namespace {

const char* const kDefault = "ответ по умолчанию";

std::string FromSwitch(const std::string& text) { return "ответ из параметра /" + text; }

// "1234" to a number of seconds no larger than a day.
bool ParseSeconds(const std::string& text, uint32_t& seconds) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + static_cast<uint32_t>(c - '0');
  }
  if (n > 86400) return false;
  seconds = n;
  return true;
}

}  // namespace

bool ParseSwitches(const std::vector<std::string>& args, bool dashes, TSwitches& out,
                   std::string& error) {
  out = TSwitches();
  std::vector<std::string> seen;
  for (const std::string& arg : args) {
    std::string body;
    if (arg.size() > 1 && arg[0] == '/') {
      body = arg.substr(1);
    } else if (dashes && arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      body = arg.substr(2);
    } else {
      error = "Неизвестный параметр: " + arg;
      return false;
    }
    const size_t eq = body.find('=');
    const bool hasValue = eq != std::string::npos;
    std::string name = body.substr(0, eq);
    for (char& c : name) c = cp1251::ToLower(c);
    const std::string value = hasValue ? body.substr(eq + 1) : std::string();
    for (const std::string& s : seen)
      if (s == name) {
        error = "Параметр задан дважды: " + arg;
        return false;
      }
    seen.push_back(name);

    const bool isFlag = name == "silent" || name == "verysilent" || name == "clean" ||
                        name == "noautosave" || name == "start" || name == "help" || name == "?";
    if (isFlag) {
      if (hasValue) {
        error = "Параметр не принимает значения: " + arg;
        return false;
      }
      if (name == "silent") out.silent = true;
      if (name == "verysilent") out.verySilent = true;
      if (name == "clean") out.clean = true;
      if (name == "noautosave") out.noAutoSave = true;
      if (name == "start") out.start = true;
      if (name == "help" || name == "?") out.help = true;
      continue;
    }
    const bool known = name == "log" || name == "rollback" || name == "wait" || name == "copy" ||
                       name == "name" || name == "label";
    if (!known) {
      error = "Неизвестный параметр: " + arg;
      return false;
    }
    if (value.empty()) {
      error = "Параметру нужно значение: " + arg;
      return false;
    }
    if (name == "log") out.log = value;
    if (name == "copy") out.copy = value;
    if (name == "name") out.name = value;
    if (name == "label") out.label = value;
    if (name == "rollback") {
      std::string v = value;
      for (char& c : v) c = cp1251::ToLower(c);
      if (v == "yes") {
        out.rollback = Rollback::Yes;
      } else if (v == "no") {
        out.rollback = Rollback::No;
      } else {
        error = "Недопустимое значение параметра (ожидается yes или no): " + arg;
        return false;
      }
    }
    if (name == "wait") {
      if (!ParseSeconds(value, out.waitSeconds)) {
        error = "Недопустимое значение параметра (ожидается число секунд от 0 до 86400): " + arg;
        return false;
      }
      out.waitGiven = true;
    }
  }
  return true;
}

std::string HelpText(const std::string& p) {
  return "Обновление ПК ZUM. Без параметров задает вопросы, как обычно.\n"
         "Параметры для обновления без участия пользователя:\n"
         "  " + p + "silent            окно показывает ход обновления, вопросов нет, окно\n"
         "                     закрывается само\n"
         "  " + p + "verysilent        без окна\n"
         "  " + p + "log=ФАЙЛ          копия протокола в ФАЙЛ (папки создаются)\n"
         "  " + p + "rollback=yes|no   откатить ли неудачный прошлый запуск (по умолчанию no)\n"
         "  " + p + "wait=СЕКУНДЫ      сколько ждать закрытия программы ZUM (по умолчанию 0)\n"
         "  " + p + "copy=ПАПКА        папка, куда поместить копию (обновление в копию)\n"
         "  " + p + "name=ИМЯ          наименование папки копии\n"
         "  " + p + "label=ИМЯ         наименование ярлыка на рабочем столе\n"
         "  " + p + "clean             без копирования строек и оперативной информации\n"
         "  " + p + "noautosave        без копирования папки \"Автосохранение\"\n"
         "  " + p + "start             запустить программу ZUM после успешного обновления\n"
         "  " + p + "help, " + p + "?         эта справка\n"
         "Коды завершения без участия пользователя: 0 успешно; 1 ошибка, изменений нет\n"
         "или они отменены; 2 ошибка, откат не завершен (файл отката сохранен, запуск с\n"
         + p + "rollback=yes завершает его); 3 обновление не подходит к этой установке;\n"
         "4 программа ZUM не закрыта; 5 выполняется другое обновление; 87 неверный\n"
         "параметр.\n";
}

TAnswer AnswerFor(int msgId, const TSwitches& s, uint64_t waitedMs) {
  switch (msgId) {
    case 3001:  // roll back the failed earlier run?
      if (s.rollback == Rollback::Yes) return {true, FromSwitch("rollback=yes")};
      if (s.rollback == Rollback::No) return {false, FromSwitch("rollback=no")};
      return {false, kDefault};
    case 3007:  // the product still runs: wait more?
      if (!s.waitGiven) return {false, kDefault};
      return {waitedMs < uint64_t{s.waitSeconds} * 1000,
              FromSwitch("wait=" + std::to_string(s.waitSeconds))};
    case 3009:  // start the product?
      if (s.start) return {true, FromSwitch("start")};
      return {false, kDefault};
    case 3003:  // go on with the update?
    case 3011:  // the antivirus reminders: the update goes on
    case 3013:
      return {true, kDefault};
    default:    // anything else (too little space, a start as administrator): no
      return {false, kDefault};
  }
}

}  // namespace unattended
