#include "format/protocol_record.h"

#include <cstdio>


namespace prot {
namespace {

const char* const kPrefixes[kKindCount] = {
    "",
    "...ОК",
    "...Были ошибки",
    "Ошибка №",
    "Отменено пользователем.",
    "Сравнение файлов",
    "Восстановление файла",
    "Распаковка файла",
    "Копирование файла",
    "Создание резервной копии файла",
    "Сжатие файла",
    "Удаление файла",
    "Удаление папки",
    "Перемещение файла",
    "Откат изменений, восстановление информации к начальному состоянию",
    "Анализ протокола",
    "Файл протокола поврежден",
    "Пропуск шага",
    "Подготовка к принятию изменений файла",
    "Сборка измененного файла",
    "Подсчет контрольной суммы файла",
    "Сравнение контрольной суммы с эталоном",
    "Применение \"diff\" различий (старый/новый -> новый) к файлу",
    "Обновление не предназначено для данной редакции ZUM.",
    "Создание списка обновлений",
    "Изменение файла-конфигуратора",
    "Произошла аварийная ситуация",
};

inline uint32_t Rotl13(uint32_t h) { return (h << 13) | (h >> 19); }

}  // namespace

const char* KindPrefix(int kind) {
  return kind >= 0 && kind < kKindCount ? kPrefixes[kind] : "";
}

std::string MakeLine(int kind, const std::string& text) {
  return std::string(KindPrefix(kind)) + " " + text;
}

uint32_t LineSum(const void* bytes, size_t count) {
  const unsigned char* p = static_cast<const unsigned char*>(bytes);
  uint32_t h = 0;
  for (size_t i = 0; i < count; ++i) {
    h += p[i];
    h -= Rotl13(h);
  }
  return h;
}

bool SealLine(std::string& record) {
  char digits[16];
  int n = std::snprintf(digits, sizeof digits, "%010u", static_cast<unsigned>(LineSum(record)));
  if (n != 10) return false;
  record.append(digits, 10);
  return true;
}

bool IsSealed(const std::string& record) {
  if (record.size() < 10) return false;
  size_t n = record.size() - 10;
  uint64_t value = 0;
  for (size_t i = n; i < record.size(); ++i) {
    char c = record[i];
    if (c < '0' || c > '9') return true;  // not a number: taken as sealed
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return static_cast<uint32_t>(value) == LineSum(record.data(), n);
}

bool StripSeal(std::string& record) {
  if (record.size() < 10) return false;
  record.resize(record.size() - 10);
  return true;
}

std::string FormatTimeStamp(const os::LocalTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%02d %02d:%02d:%02d.%03d", t.day % 100, t.month % 100,
                t.year % 100, t.hour % 100, t.minute % 100, t.second % 100, t.millisecond % 1000);
  return buf;
}

std::string MakeRecord(const os::LocalTime& t, const std::string& line) {
  std::string record = "; " + FormatTimeStamp(t) + line;
  SealLine(record);
  return record;
}

std::string FrameRecord(const std::string& record, uint64_t endPos) {
  return endPos == 0 ? record : "\r\n" + record;
}

}  // namespace prot
