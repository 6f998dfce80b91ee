# The Linux backend: an emulated Windows serial driver over termios, epoll
# and eventfd.
target_sources(kavrel_objects PRIVATE
  platform/linux/last_error.cpp
  platform/linux/handle_table.cpp
  platform/linux/events.cpp
  platform/linux/threads.cpp
  platform/linux/device_names.cpp
  platform/linux/exclusive_open.cpp
  platform/linux/dcb_termios.cpp
  platform/linux/termios2_speed.cpp
  platform/linux/comm_device.cpp
  platform/linux/io_thread.cpp
  platform/linux/comm_api.cpp
  platform/linux/telnet_codec.cpp
  platform/linux/telnet_negotiation.cpp
  platform/linux/rfc2217_session.cpp
  platform/linux/port_target.cpp
  platform/linux/ports_file.cpp
  platform/linux/named_ports.cpp
)
