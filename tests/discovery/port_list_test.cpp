// What ListSerialPorts promises on every platform: it answers, each port
// once, in name order, and a failure says why and leaves nothing behind.
#include "kavrel/port_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "kavrel/errors.h"
#include "platform/port_discovery.h"
#include "platform/testing.h"

namespace {

TEST(PortList, ListsEachPortOnceInNameOrderByTheNameItOpensWith) {
  std::vector<kavrel::SerialPortInfo> ports(1);  // whatever was there is replaced
  ports[0].name = "stale";
  ASSERT_TRUE(kavrel::ListSerialPorts(ports)) << kavrel::GetLastErrorReason().text;
  std::printf("%zu serial ports here\n", ports.size());
  for (const kavrel::SerialPortInfo& port : ports) {
    std::printf("  %s (%s) driver '%s'%s\n", port.name.c_str(), port.devicePath.c_str(),
                port.driver.c_str(), port.isUsb ? " USB" : "");
  }
  std::set<std::string> names;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const kavrel::SerialPortInfo& port = ports[i];
    EXPECT_TRUE(names.insert(port.name).second) << port.name;
    EXPECT_FALSE(port.name.empty());
    // The device path is the port's name where the platform keeps devices.
    ASSERT_GE(port.devicePath.size(), port.name.size());
    EXPECT_EQ(port.devicePath.substr(port.devicePath.size() - port.name.size()), port.name);
    if (i > 0) {
      EXPECT_FALSE(kavrel::platform::PortNameLess(port.name, ports[i - 1].name));
    }
    if (!port.isUsb) {
      EXPECT_EQ(port.vendorId, 0);
      EXPECT_EQ(port.interfaceNumber, -1);
      EXPECT_TRUE(port.serialNumber.empty());
    }
  }
}

#if defined(KAVREL_FAULT_INJECTION)
TEST(PortList, AFailureLeavesTheListEmptyAndSaysWhy) {
  std::vector<kavrel::SerialPortInfo> ports(2);
  kavrel::platform::testing::FailNextPortDiscovery();
  EXPECT_FALSE(kavrel::ListSerialPorts(ports));
  EXPECT_TRUE(ports.empty());
  const kavrel::ErrorReason reason = kavrel::GetLastErrorReason();
  EXPECT_EQ(reason.code, 8u);  // ERROR_NOT_ENOUGH_MEMORY
  EXPECT_NE(reason.text.find("cannot"), std::string::npos) << reason.text;
  // The switch fired once: the next call answers again.
  EXPECT_TRUE(kavrel::ListSerialPorts(ports));
}
#endif

TEST(PortList, TrailingNumbersOrderAsNumbers) {
  // Each name sorts strictly before the next.
  const std::vector<std::vector<std::string>> orders = {
      {"COM1", "COM2", "COM10", "COM100"},
      {"ttyACM0", "ttyS", "ttyS0", "ttyS2", "ttyS10", "ttyUSB0"},
      {"ttyS01", "ttyS1", "ttyS2"},
      {"ttyUSB99999999999999999999", "ttyUSB100000000000000000000"},
  };
  for (const auto& order : orders) {
    for (std::size_t i = 0; i + 1 < order.size(); ++i) {
      EXPECT_TRUE(kavrel::platform::PortNameLess(order[i], order[i + 1]))
          << order[i] << " < " << order[i + 1];
      EXPECT_FALSE(kavrel::platform::PortNameLess(order[i + 1], order[i]))
          << order[i + 1] << " !< " << order[i];
    }
    EXPECT_FALSE(kavrel::platform::PortNameLess(order[0], order[0]));
  }
}

}  // namespace
