// PrBar's model: range, position and step, shown through the toolkit.
#pragma once

#include <cstdint>

namespace ui { class Toolkit; }

class TProgressBar {
 public:
  explicit TProgressBar(ui::Toolkit* view = nullptr) : view_(view) {}
  void SetView(ui::Toolkit* view) { view_ = view; }

  void SetMax(uint32_t max);
  void SetPosition(uint32_t position);
  void SetStep(uint32_t step) { step_ = step; }
  void StepIt();

  uint32_t Max() const { return max_; }
  uint32_t Position() const { return position_; }

 private:
  void Show();
  ui::Toolkit* view_;
  uint32_t max_ = 100;
  uint32_t position_ = 0;
  uint32_t step_ = 10;
};
