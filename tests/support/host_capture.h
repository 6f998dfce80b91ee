// Captures what the library tells its host: trace lines and message boxes,
// byte for byte, for as long as the object lives.
#ifndef KAVREL_TESTS_HOST_CAPTURE_H
#define KAVREL_TESTS_HOST_CAPTURE_H

#include <mutex>
#include <string>
#include <vector>

namespace kavrel_test {

class HostCapture {
 public:
  HostCapture();
  ~HostCapture();
  HostCapture(const HostCapture&) = delete;
  HostCapture& operator=(const HostCapture&) = delete;

  std::vector<std::string> traces() const;
  std::vector<std::string> messageBoxes() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> traces_;
  std::vector<std::string> messageBoxes_;
};

// The library's message-box texts, as GBK bytes.
extern const char kSettingsErrorGbk[];  // "串口设置错误！"
extern const char kThreadFailedGbk[];   // "串口线程建立失败！"
extern const char kEventFailedGbk[];    // "辅助线程事件建立错误！"

}  // namespace kavrel_test

#endif  // KAVREL_TESTS_HOST_CAPTURE_H
