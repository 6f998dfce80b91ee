# The POSIX backend: an emulated Windows serial driver over termios.
target_sources(kavrel_objects PRIVATE
  platform/posix/last_error.cpp
)
