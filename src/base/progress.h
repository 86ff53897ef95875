// PrBar's model: range, position and step, shown through a view (the toolkit).
#pragma once

#include <cstdint>

// What a progress bar needs of a user interface: showing the bar, and letting the
// window repaint and take clicks during a long operation.
class TProgressView {
 public:
  virtual ~TProgressView() = default;
  virtual void SetProgress(uint32_t position, uint32_t max) = 0;
  virtual void ProcessMessages() = 0;
};

class TProgressBar {
 public:
  explicit TProgressBar(TProgressView* view = nullptr) : view_(view) {}
  void SetView(TProgressView* view) { view_ = view; }

  void SetMax(uint32_t max);
  void SetPosition(uint32_t position);
  void SetStep(uint32_t step) { step_ = step; }
  void StepIt();
  // Lets the view repaint and take clicks.
  void Pump() {
    if (view_) view_->ProcessMessages();
  }

  uint32_t Max() const { return max_; }
  uint32_t Position() const { return position_; }

 private:
  void Show();
  TProgressView* view_;
  uint32_t max_ = 100;
  uint32_t position_ = 0;
  uint32_t step_ = 10;
};
