# The Linux backend: an emulated Windows serial driver over termios, epoll
# and eventfd.
target_sources(kavrel_objects PRIVATE
  platform/linux/last_error.cpp
  platform/linux/system_errors.cpp
  platform/linux/handle_table.cpp
  platform/linux/waitable.cpp
  platform/linux/events.cpp
  platform/linux/threads.cpp
  platform/linux/fork_safety.cpp
  platform/linux/device_names.cpp
  platform/linux/terminals_in_use.cpp
  platform/linux/pinned_node.cpp
  platform/linux/uucp_lock.cpp
  platform/linux/exclusive_open.cpp
  platform/linux/dcb_termios.cpp
  platform/linux/termios2_speed.cpp
  platform/linux/line_settings.cpp
  platform/linux/tty_transport.cpp
  platform/linux/deadline_timer.cpp
  platform/linux/comm_device.cpp
  platform/linux/io_thread.cpp
  platform/linux/comm_api.cpp
  platform/linux/udev_port_description.cpp
  platform/linux/port_discovery.cpp
  platform/linux/telnet_codec.cpp
  platform/linux/telnet_negotiation.cpp
  platform/linux/rfc2217_session.cpp
  platform/linux/rfc2217_settings.cpp
  platform/linux/tcp_connect.cpp
  platform/linux/rfc2217_transport.cpp
  platform/linux/mapped_port_names.cpp
  platform/linux/port_target.cpp
  platform/linux/ports_file.cpp
  platform/linux/named_ports.cpp
)
# libudev: port discovery. GLOBAL, so the tests linking the objects see it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(LIBUDEV REQUIRED IMPORTED_TARGET GLOBAL libudev)
set(KAVREL_PLATFORM_LIBRARIES PkgConfig::LIBUDEV)
