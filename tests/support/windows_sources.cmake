# The Windows side of the test helpers: the null-modem pair is two COM ports
# wired back to back (under Wine, pty pairs the harness in tests/wine/ links
# into the prefix), resources are the process's kernel handles and threads.
target_sources(kavrel_test_support PRIVATE
  support/null_modem_win32.cpp
  support/resource_count_win32.cpp)
