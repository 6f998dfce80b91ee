#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/handler_slot.h"
#include "host/host_services.h"

namespace kavrel {
namespace host {

namespace {

struct TraceTag;

}  // namespace

HandlerSlot& TraceSlot() { return Immortal<HandlerSlot, TraceTag>(); }

void Trace(const char* format, ...) {
  try {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string line;
    if (length > 0) {
      line.resize(static_cast<std::size_t>(length) + 1);
      std::vsnprintf(&line[0], line.size(), format, args);
      line.resize(static_cast<std::size_t>(length));
    }
    va_end(args);

    auto handler = TraceSlot().Get();
    if (handler) {
      (*handler)(line.c_str());
    } else {
      DefaultTraceSink(line.c_str());
    }
  } catch (...) {
    // A trace line is diagnostic; failing to write one must not fail the
    // operation that wrote it.
  }
}

}  // namespace host

void SetTraceHandler(TextHandler handler) { host::TraceSlot().Set(std::move(handler)); }

}  // namespace kavrel
