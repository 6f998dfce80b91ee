# The Linux backend: an emulated Windows serial driver over termios, epoll
# and eventfd.
target_sources(kavrel_objects PRIVATE
  platform/linux/last_error.cpp
  platform/linux/system_errors.cpp
  platform/linux/handle_table.cpp
  platform/linux/events.cpp
  platform/linux/threads.cpp
  platform/linux/device_names.cpp
  platform/linux/exclusive_open.cpp
  platform/linux/dcb_termios.cpp
  platform/linux/termios2_speed.cpp
  platform/linux/line_settings.cpp
  platform/linux/tty_transport.cpp
  platform/linux/deadline_timer.cpp
  platform/linux/comm_device.cpp
  platform/linux/io_thread.cpp
  platform/linux/comm_api.cpp
)
