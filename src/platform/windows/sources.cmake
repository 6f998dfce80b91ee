# The Windows backend: kernel32 itself. Only thread and event creation pass
# through wrappers of ours (so a test build can make them fail), and putting
# a line back as it was before the open, which Win32 has no call for.
target_sources(kavrel_objects PRIVATE
  platform/windows/events.cpp
  platform/windows/threads.cpp
  platform/windows/handles.cpp
  platform/windows/comm_state.cpp
)
# user32: MessageBoxW and PostMessageA, for the host defaults.
target_link_libraries(kavrel_objects PUBLIC user32)
