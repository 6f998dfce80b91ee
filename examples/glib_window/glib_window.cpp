// A GUI toolkit's main loop receiving Kavrel's notification: kavrel::Window
// implemented with the toolkit's thread-safe post. The toolkit here is GLib,
// whose main loop GTK applications run on; Qt would post with
// QMetaObject::invokeMethod(receiver, ..., Qt::QueuedConnection) the same
// way.
//
//   kavrel-example-glib PORT [TEXT]
//
// Sends TEXT (default "*IDN?") with CR LF and prints the answer until the
// port has been quiet for half a second.
#include <glib.h>
#include <kavrel/SerialCtl.h>
#include <kavrel/host.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// Post runs on the listener thread. It must not touch the port or any
// widget: it hands the message to the main loop and returns at once, as
// Win32's PostMessage does. The handler then runs on the main loop's thread.
class GLibWindow : public kavrel::Window {
 public:
  using Handler = std::function<void(const kavrel::Message&)>;

  GLibWindow(GMainContext* context, Handler handler)
      : context_(context), handler_(std::move(handler)) {}

  void Post(kavrel::UINT message, kavrel::WPARAM wParam, kavrel::LPARAM lParam) override {
    auto* posted = new Posted{this, {message, wParam, lParam}};
    GSource* source = g_idle_source_new();
    g_source_set_callback(source, &Dispatch, posted,
                          [](gpointer data) { delete static_cast<Posted*>(data); });
    g_source_attach(source, context_);  // thread-safe; wakes the main loop
    g_source_unref(source);
  }

 private:
  struct Posted {
    GLibWindow* window;
    kavrel::Message message;
  };

  static gboolean Dispatch(gpointer data) {
    auto* posted = static_cast<Posted*>(data);
    posted->window->handler_(posted->message);
    return G_SOURCE_REMOVE;
  }

  GMainContext* context_;
  Handler handler_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PORT [TEXT]\n", argv[0]);
    return 2;
  }
  const std::string text = std::string(argc > 2 ? argv[2] : "*IDN?") + "\r\n";

  auto port = std::make_unique<SerialCtl>();
  port->SetSerial(argv[1], 9600, 8, 1, "NONE", "");
  port->OpenSerial();
  if (!port->IsSerialOpen()) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }

  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  std::vector<unsigned char> buffer(SerialCtl::kStagingSize);
  gint64 lastData = g_get_monotonic_time();

  // The window procedure: on the main loop's thread, like any UI callback.
  GLibWindow window(g_main_loop_get_context(loop), [&](const kavrel::Message& message) {
    if (message.message != KAVREL_WM_DATA_READY) return;
    int count = 0;
    port->ReadSerial(buffer.data(), count);
    if (count > 0) {
      std::fwrite(buffer.data(), 1, static_cast<std::size_t>(count), stdout);
      lastData = g_get_monotonic_time();
    }
  });
  kavrel::SetMainWindow(&window);
  port->ListenSerial(5, 5);

  port->WriteSerial(reinterpret_cast<const unsigned char*>(text.data()), text.size());

  // Quit once the port has been quiet for half a second.
  struct Quiet {
    GMainLoop* loop;
    gint64* lastData;
  } quiet{loop, &lastData};
  g_timeout_add(
      100,
      [](gpointer data) -> gboolean {
        auto* q = static_cast<Quiet*>(data);
        if (g_get_monotonic_time() - *q->lastData < 500 * G_TIME_SPAN_MILLISECOND) {
          return G_SOURCE_CONTINUE;
        }
        g_main_loop_quit(q->loop);
        return G_SOURCE_REMOVE;
      },
      &quiet);
  g_main_loop_run(loop);
  std::fflush(stdout);

  // No more posts once these return; then run what was already posted, so
  // no queued callback outlives the window it points to.
  port->StopListenSerial();
  kavrel::SetMainWindow(nullptr);
  while (g_main_context_iteration(g_main_loop_get_context(loop), FALSE)) {
  }
  port->CloseSerial();
  g_main_loop_unref(loop);
  return 0;
}
