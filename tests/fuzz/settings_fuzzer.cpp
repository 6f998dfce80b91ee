// Fuzz target: the settings path. Any port name, rate, data bits, stop bits,
// parity text and capture name (null included), of any bytes and any length,
// go through SetSerial, whose stored result must follow the rules it
// documents. The same numbers and parity then go to a pty the fuzzer owns,
// through OpenSerial, which must open exactly when a UART could carry the
// framing and then report what was asked, and open again the same way after
// a close; otherwise it raises one message box and holds nothing.
//
// Input: a flags byte (bit 0 null capture name, bit 1 null port name, bit 2
// null parity), the rate (8 bytes), data bits and stop bits (4 bytes each),
// the port name and the parity as texts, and the capture name as the rest.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kavrel/SerialCtl.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "support/pty_pair.h"

namespace {

using kavrel_fuzz::FuzzInput;

constexpr char kSettingsRefused[] = "\xB4\xAE\xBF\xDA\xC9\xE8\xD6\xC3\xB4\xED\xCE\xF3\xA3\xA1";

// What the library told its host during one input.
struct Host {
  std::mutex mutex;
  std::vector<std::string> traces;
  std::vector<std::string> boxes;

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex);
    traces.clear();
    boxes.clear();
  }
};

struct World {
  Host host;
  kavrel_test::PtyPair pair;
  std::size_t handlesAtRest = 0;
};

World& TheWorld() {
  static World* const world = [] {
    auto* created = new World;
    kavrel::SetTraceHandler([created](const char* text) {
      std::lock_guard<std::mutex> lock(created->host.mutex);
      created->host.traces.emplace_back(text);
    });
    kavrel::SetMessageBoxHandler([created](const char* text) {
      std::lock_guard<std::mutex> lock(created->host.mutex);
      created->host.boxes.emplace_back(text);
    });
    created->handlesAtRest = kavrel::platform::testing::LiveHandleCount();
    return created;
  }();
  return *world;
}

long Saturated(std::int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<long>(value);
}

int StopBitsCode(int stopBits) {
  if (stopBits == 0 || stopBits == 1) return 0;  // one
  if (stopBits == 2) return 2;                   // two
  return 1;                                      // one and a half
}

int ParityCode(const char* text) {
  if (text == nullptr) return 0;
  if (std::strcmp(text, "ODD") == 0 || std::strcmp(text, "odd") == 0) return 1;
  if (std::strcmp(text, "EVEN") == 0 || std::strcmp(text, "even") == 0) return 2;
  return 0;
}

// Whether a UART can send this framing: 5 to 8 data bits, one stop bit, two
// with 6 to 8 data bits, one and a half with 5.
bool UartFraming(int dataBits, int stopCode) {
  if (dataBits < 5 || dataBits > 8) return false;
  if (stopCode == 1) return dataBits == 5;
  if (stopCode == 2) return dataBits >= 6;
  return true;
}

void CheckStoredSettings(World& world, const char* name, std::int64_t rate, int dataBits,
                         int stopBits, const char* parity, const char* capture) {
  auto port = std::make_unique<SerialCtl>();
  port->SetSerial("ttyS0", 9600, 8, 1, "EVEN", "keep.bin");
  world.host.Clear();
  port->SetSerial(name, static_cast<long>(rate), dataBits, stopBits, parity, capture);

  const std::string nameText = name != nullptr ? name : "";
  std::vector<std::string> traces;
  {
    std::lock_guard<std::mutex> lock(world.host.mutex);
    traces = world.host.traces;
    KAVREL_FUZZ_CHECK(world.host.boxes.empty());
  }
  const std::string abnormal = "Kavrel CString Abnormal[" + nameText + "]??\n";
  if (nameText.size() > 9) {
    // Refused, never cut: the name is cleared and nothing else is stored.
    KAVREL_FUZZ_CHECK(port->portName[0] == '\0');
    KAVREL_FUZZ_CHECK(port->baudRate == 9600 && port->dataBits == 8);
    KAVREL_FUZZ_CHECK(port->stopBitsCode == 0 && port->parityCode == 2);
    KAVREL_FUZZ_CHECK(std::strcmp(port->captureName, "keep.bin") == 0);
    KAVREL_FUZZ_CHECK(traces.size() == 1 && traces[0] == abnormal);
    return;
  }
  KAVREL_FUZZ_CHECK(nameText == port->portName);
  KAVREL_FUZZ_CHECK(port->baudRate == Saturated(rate));
  KAVREL_FUZZ_CHECK(port->dataBits == dataBits);
  KAVREL_FUZZ_CHECK(port->stopBitsCode == StopBitsCode(stopBits));
  KAVREL_FUZZ_CHECK(port->parityCode == ParityCode(parity));
  if (capture == nullptr) {
    KAVREL_FUZZ_CHECK(std::strcmp(port->captureName, "keep.bin") == 0);
    KAVREL_FUZZ_CHECK(traces.size() == 1 && traces[0] == abnormal);
  } else {
    const std::string kept(capture, strnlen(capture, 254));
    KAVREL_FUZZ_CHECK(kept == port->captureName);
    KAVREL_FUZZ_CHECK(traces.empty());
  }
}

void CheckOpenOnThePty(World& world, std::int64_t rate, int dataBits, int stopBits,
                       const char* parity) {
  if (!world.pair.ok()) return;
  auto port = std::make_unique<SerialCtl>();
  port->SetSerial(world.pair.name().c_str(), static_cast<long>(rate), dataBits, stopBits, parity,
                  "");
  world.host.Clear();
  port->OpenSerial();

  const int stopCode = StopBitsCode(stopBits);
  const bool opens = Saturated(rate) > 0 && UartFraming(dataBits, stopCode);
  {
    std::lock_guard<std::mutex> lock(world.host.mutex);
    KAVREL_FUZZ_CHECK(world.host.traces.empty());
    if (opens) {
      KAVREL_FUZZ_CHECK(world.host.boxes.empty());
    } else {
      KAVREL_FUZZ_CHECK(world.host.boxes.size() == 1 && world.host.boxes[0] == kSettingsRefused);
    }
  }
  KAVREL_FUZZ_CHECK(port->IsSerialOpen() == opens);
  if (opens) {
    // What opened once opens again, the line already at its settings.
    for (int open = 0; open < 2; ++open) {
      if (open == 1) {
        port->CloseSerial();
        port->OpenSerial();
        std::lock_guard<std::mutex> lock(world.host.mutex);
        KAVREL_FUZZ_CHECK(world.host.boxes.empty());
        KAVREL_FUZZ_CHECK(port->IsSerialOpen());
      }
      kavrel::DCB reported{};
      KAVREL_FUZZ_CHECK(kavrel::platform::GetCommState(port->portHandle, &reported));
      KAVREL_FUZZ_CHECK(reported.BaudRate == static_cast<kavrel::DWORD>(Saturated(rate)));
      KAVREL_FUZZ_CHECK(reported.ByteSize == dataBits);
      KAVREL_FUZZ_CHECK(reported.StopBits == stopCode);
      KAVREL_FUZZ_CHECK(reported.Parity == ParityCode(parity));
    }
  } else {
    KAVREL_FUZZ_CHECK(port->portHandle == kavrel::HANDLE{});
  }
  port.reset();
  KAVREL_FUZZ_CHECK(kavrel::platform::testing::LiveHandleCount() == world.handlesAtRest);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& world = TheWorld();
  FuzzInput input(data, size);
  const auto flags = input.Number<std::uint8_t>();
  const auto rate = input.Number<std::int64_t>();
  const auto dataBits = input.Number<std::int32_t>();
  const auto stopBits = input.Number<std::int32_t>();
  const std::string name = input.Text();
  const std::string parity = input.Text();
  const std::string capture = input.Rest();

  const char* nameArgument = (flags & 2) != 0 ? nullptr : name.c_str();
  const char* parityArgument = (flags & 4) != 0 ? nullptr : parity.c_str();
  const char* captureArgument = (flags & 1) != 0 ? nullptr : capture.c_str();
  CheckStoredSettings(world, nameArgument, rate, dataBits, stopBits, parityArgument,
                      captureArgument);
  CheckOpenOnThePty(world, rate, dataBits, stopBits, parityArgument);
  return 0;
}
