#include "data_ready_window.h"

#include "kavrel/SerialCtl.h"

namespace kavrel_term {

void DataReadyWindow::Post(kavrel::UINT message, kavrel::WPARAM, kavrel::LPARAM) {
  if (message != KAVREL_WM_DATA_READY) return;
  std::lock_guard<std::mutex> lock(mutex_);
  announced_ = true;
  changed_.notify_one();
}

DataReadyWindow::Wake DataReadyWindow::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return stop_ || finish_ || announced_; });
  if (stop_) return Wake::kStop;
  if (finish_) return Wake::kFinish;
  announced_ = false;
  return Wake::kData;
}

void DataReadyWindow::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  finish_ = true;
  changed_.notify_one();
}

void DataReadyWindow::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stop_ = true;
  changed_.notify_one();
}

}  // namespace kavrel_term
