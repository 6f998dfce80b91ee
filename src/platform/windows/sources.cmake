# The Windows backend: kernel32 itself. Only thread and event creation pass
# through wrappers of ours (so a test build can make them fail); the host
# defaults show trace lines in the debugger and message boxes on screen.
target_sources(kavrel_objects PRIVATE
  platform/windows/events.cpp
  platform/windows/threads.cpp
  platform/windows/handles.cpp
  platform/host/default_sinks_windows.cpp
  platform/host/win32_window.cpp
)
# user32: MessageBoxW and PostMessageA.
target_link_libraries(kavrel_objects PUBLIC user32)
