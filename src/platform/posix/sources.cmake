# The POSIX backend: an emulated Windows serial driver over termios.
target_sources(kavrel_objects PRIVATE
  platform/posix/last_error.cpp
  platform/posix/handle_table.cpp
  platform/posix/events.cpp
  platform/posix/threads.cpp
  platform/posix/device_names.cpp
  platform/posix/exclusive_open.cpp
  platform/posix/dcb_termios.cpp
  platform/posix/termios2_speed.cpp
  platform/posix/comm_device.cpp
  platform/posix/io_thread.cpp
  platform/posix/comm_api.cpp
)
