# The Windows backend: kernel32 itself. Only thread and event creation pass
# through wrappers of ours (so a test build can make them fail), and putting
# a line back as it was before the open, which Win32 has no call for.
target_sources(kavrel_objects PRIVATE
  platform/windows/events.cpp
  platform/windows/threads.cpp
  platform/windows/handles.cpp
  platform/windows/comm_state.cpp
  platform/windows/usb_instance_id.cpp
  platform/windows/port_discovery.cpp
  platform/windows/named_ports.cpp
)
# user32: MessageBoxW and PostMessageA, for the host defaults; setupapi and
# advapi32: port discovery (the device list and each port's registry key).
set(KAVREL_PLATFORM_LIBRARIES user32 setupapi advapi32)
