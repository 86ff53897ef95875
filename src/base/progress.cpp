#include "base/progress.h"

void TProgressBar::SetMax(uint32_t max) {
  max_ = max;
  if (position_ > max_) position_ = max_;
  Show();
}

void TProgressBar::SetPosition(uint32_t position) {
  position_ = position > max_ ? max_ : position;
  Show();
}

void TProgressBar::StepIt() {
  // Like the common control: stepping past the end wraps to the start.
  uint64_t next = static_cast<uint64_t>(position_) + step_;
  position_ = next > max_ ? static_cast<uint32_t>(next - max_) : static_cast<uint32_t>(next);
  Show();
}

void TProgressBar::Show() {
  if (view_) view_->SetProgress(position_, max_);
}
