// The main window kavrel-term gives the library: it turns the listener's
// data-ready notifications into one flag the reading thread waits on.
//
// The listener posts again for as long as received bytes wait unread, so a
// reader held back by a slow output would otherwise see a queue of
// notifications grow. One flag says all there is to say: read now.
#ifndef KAVREL_TERM_DATA_READY_WINDOW_H
#define KAVREL_TERM_DATA_READY_WINDOW_H

#include <condition_variable>
#include <mutex>

#include "kavrel/host.h"

namespace kavrel_term {

class DataReadyWindow : public kavrel::Window {
 public:
  enum class Wake {
    kData,    // bytes were announced since the last Wait
    kFinish,  // deliver what is queued, then end
    kStop,    // end now
  };

  // Called by the library's listener; never blocks on the reader.
  void Post(kavrel::UINT message, kavrel::WPARAM wParam, kavrel::LPARAM lParam) override;
  // Waits for the next reason to act; kStop outranks the others.
  Wake Wait();
  void Finish();
  void Stop();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool announced_ = false;  // guarded by mutex_
  bool finish_ = false;     // guarded by mutex_
  bool stop_ = false;       // guarded by mutex_
};

}  // namespace kavrel_term

#endif  // KAVREL_TERM_DATA_READY_WINDOW_H
