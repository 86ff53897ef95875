// What zumpack prints: a progress line on a terminal, and JSON documents.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zumpack {

// One line on standard error, redrawn in place, when standard error is a
// terminal; silent otherwise. Texts are CP1251.
class TProgressLine {
 public:
  explicit TProgressLine(bool wanted);
  ~TProgressLine() { Clear(); }
  bool Active() const { return active_; }
  // `total` 0 shows the step without a bar.
  void Show(const std::string& step, uint64_t done, uint64_t total);
  // Removes the line, so that ordinary output can follow.
  void Clear();

 private:
  bool active_ = false;
  size_t shown_ = 0;  // characters on the line now
  uint64_t lastTick_ = 0;
  std::string lastStep_;
  int lastPercent_ = -1;
};

// A JSON document built in order. Texts given to String() are CP1251 and come out
// as UTF-8, escaped.
class TJson {
 public:
  TJson& BeginObject();
  TJson& EndObject();
  TJson& BeginArray();
  TJson& EndArray();
  TJson& Key(const std::string& key);
  TJson& String(const std::string& cp1251);
  TJson& Number(uint64_t v);
  TJson& Signed(int64_t v);
  TJson& Bool(bool v);
  TJson& Null();
  // A member: key and value.
  TJson& Field(const std::string& key, const std::string& v) { return Key(key).String(v); }
  TJson& Field(const std::string& key, const char* v) { return Key(key).String(v); }
  TJson& Field(const std::string& key, uint64_t v) { return Key(key).Number(v); }
  TJson& Field(const std::string& key, uint32_t v) { return Key(key).Number(v); }
  TJson& Field(const std::string& key, int v) { return Key(key).Signed(v); }
  TJson& Field(const std::string& key, int64_t v) { return Key(key).Signed(v); }
  TJson& Field(const std::string& key, bool v) { return Key(key).Bool(v); }
  const std::string& Text() const { return out_; }

 private:
  void Value();
  std::string out_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace zumpack
