// A host linked against Kavrel.dll through its import library, as a Windows
// application links it: the classes and host hooks come from the DLL.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavrel/SerialCtl.h"
#include "kavrel/errors.h"
#include "kavrel/named_ports.h"
#include "kavrel/port_list.h"
#include "kavrel/version.h"

namespace {

TEST(DllHost, OperationsAndHooksWorkAcrossTheModuleBoundary) {
  std::vector<std::string> traces;
  kavrel::SetTraceHandler([&traces](const char* line) { traces.emplace_back(line); });

  SerialCtl port;
  EXPECT_EQ(port.GetVer(), 301);
  EXPECT_TRUE(port.GetVersion() == "3.1");
  // The DLL's own code traces through the handler this module installed.
  port.SetSerial("COM123456789", 9600, 8, 1, "NONE", "");
  ASSERT_EQ(traces.size(), 1u);
  EXPECT_EQ(traces[0], "Kavrel CString Abnormal[COM123456789]??\n");
  EXPECT_STREQ(port.portName, "");

  port.SetSerial("COM249", 9600, 8, 1, "NONE", "");
  port.OpenSerial();  // no such port
  EXPECT_FALSE(port.IsSerialOpen());
  port.CloseSerial();
  kavrel::SetTraceHandler({});
}

TEST(DllHost, AWindowOfTheHostReceivesWhatTheDllPosts) {
  kavrel::MessageQueue window;
  kavrel::SetMainWindow(&window);
  EXPECT_EQ(kavrel::GetMainWindow(), &window);
  window.Post(KAVREL_WM_DATA_READY, 0, 42);  // the DLL's MessageQueue code
  kavrel::Message message{};
  ASSERT_TRUE(window.Wait(message, 1000));
  EXPECT_EQ(message.lParam, 42);
  kavrel::SetMainWindow(nullptr);
}

TEST(DllHost, TheModuleVersionRecordComesFromTheDll) {
  const kavrel::ModuleVersion& record = kavrel::GetModuleVersion();
  EXPECT_EQ(std::vector<unsigned>(record.fileVersion, record.fileVersion + 4),
            (std::vector<unsigned>{3, 0, 7, 2}));
  EXPECT_STREQ(record.originalFilename, "Kavrel.DLL");
}

TEST(DllHost, TheDllListsTheSerialPorts) {
  // Whatever the system has (under Wine usually nothing SetupAPI knows);
  // each entry is a COM port by the name SetSerial takes.
  std::vector<kavrel::SerialPortInfo> ports;
  ASSERT_TRUE(kavrel::ListSerialPorts(ports)) << kavrel::GetLastErrorReason().text;
  for (const kavrel::SerialPortInfo& port : ports) {
    EXPECT_EQ(port.name.compare(0, 3, "COM"), 0) << port.name;
    EXPECT_EQ(port.devicePath, "\\\\.\\" + port.name);
  }
}

TEST(DllHost, NamedPortsAreRefusedWithTheirReason) {
  EXPECT_FALSE(kavrel::NamePort("lab1", "rfc2217://127.0.0.1:2217"));
  EXPECT_EQ(kavrel::GetLastErrorReason().code, static_cast<kavrel::DWORD>(ERROR_NOT_SUPPORTED));
  EXPECT_NE(kavrel::GetLastErrorReason().text.find("COM-port redirector"), std::string::npos);
  EXPECT_FALSE(kavrel::RemovePortName("lab1"));
  EXPECT_TRUE(kavrel::ListNamedPorts().empty());
}

}  // namespace
