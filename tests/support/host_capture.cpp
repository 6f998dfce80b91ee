#include "support/host_capture.h"

#include "kavrel/host.h"

namespace kavrel_test {

const char kSettingsErrorGbk[] = "\xB4\xAE\xBF\xDA\xC9\xE8\xD6\xC3\xB4\xED\xCE\xF3\xA3\xA1";
const char kThreadFailedGbk[] =
    "\xB4\xAE\xBF\xDA\xCF\xDF\xB3\xCC\xBD\xA8\xC1\xA2\xCA\xA7\xB0\xDC\xA3\xA1";
const char kEventFailedGbk[] =
    "\xB8\xA8\xD6\xFA\xCF\xDF\xB3\xCC\xCA\xC2\xBC\xFE\xBD\xA8\xC1\xA2\xB4\xED\xCE\xF3\xA3\xA1";

HostCapture::HostCapture() {
  kavrel::SetTraceHandler([this](const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.emplace_back(text);
  });
  kavrel::SetMessageBoxHandler([this](const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    messageBoxes_.emplace_back(text);
  });
}

HostCapture::~HostCapture() {
  kavrel::SetTraceHandler({});
  kavrel::SetMessageBoxHandler({});
}

std::vector<std::string> HostCapture::traces() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return traces_;
}

std::vector<std::string> HostCapture::messageBoxes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messageBoxes_;
}

void HostCapture::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  traces_.clear();
  messageBoxes_.clear();
}

}  // namespace kavrel_test
