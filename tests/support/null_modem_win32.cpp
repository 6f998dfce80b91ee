// The null-modem pair on Windows: two COM ports wired back to back, named by
// the environment as KAVREL_TEST_COM_PAIRS="COM21:COM22,COM23:COM24" (the
// library's port, then the peer's). Under Wine the harness in tests/wine/
// links pty pairs into the prefix and sets the variable; on Windows a
// virtual null-modem driver can provide the ports. Each pair object of a
// process takes the next pair of the list, so a test that needs a second
// wire gets a fresh one.
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <utility>

#include "kavrel/types.h"
#include "support/null_modem.h"

namespace kavrel_test {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::pair<std::string, std::string>> ConfiguredPairs() {
  std::vector<std::pair<std::string, std::string>> pairs;
  const char* text = std::getenv("KAVREL_TEST_COM_PAIRS");
  if (text == nullptr) return pairs;
  std::stringstream list(text);
  std::string item;
  while (std::getline(list, item, ',')) {
    const auto colon = item.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == item.size()) continue;
    pairs.emplace_back(item.substr(0, colon), item.substr(colon + 1));
  }
  return pairs;
}

// The next configured pair, in turn; false when none is configured.
bool TakePair(std::string& library, std::string& peer) {
  static std::mutex mutex;
  static std::size_t next = 0;
  static const auto pairs = ConfiguredPairs();
  std::lock_guard<std::mutex> lock(mutex);
  if (pairs.empty()) return false;
  const auto& pair = pairs[next++ % pairs.size()];
  library = pair.first;
  peer = pair.second;
  return true;
}

DWORD MillisecondsLeft(Clock::time_point end) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
  return left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
}

}  // namespace

struct NullModemPair::Impl {
  std::string portName;
  HANDLE peer = INVALID_HANDLE_VALUE;
  // Completion events: a test may read on one thread while it writes on
  // another, so each direction has its own.
  HANDLE readDone = nullptr;
  HANDLE writeDone = nullptr;

  ~Impl() { Close(); }

  bool Open(const std::string& peerName) {
    const std::string path = "\\\\.\\" + peerName;
    peer = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
    if (peer == INVALID_HANDLE_VALUE) return false;
    readDone = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeDone = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // A plain 8N1 line without flow control: the peer takes and gives
    // every byte value unchanged.
    DCB line{};
    line.DCBlength = sizeof line;
    if (readDone == nullptr || writeDone == nullptr || !::GetCommState(peer, &line)) return false;
    line.BaudRate = 115200;
    line.ByteSize = 8;
    line.Parity = NOPARITY;
    line.StopBits = ONESTOPBIT;
    line.fBinary = TRUE;
    line.fParity = FALSE;
    line.fOutxCtsFlow = FALSE;
    line.fOutxDsrFlow = FALSE;
    line.fDtrControl = DTR_CONTROL_ENABLE;
    line.fRtsControl = RTS_CONTROL_ENABLE;
    line.fDsrSensitivity = FALSE;
    line.fOutX = FALSE;
    line.fInX = FALSE;
    line.fNull = FALSE;
    line.fAbortOnError = FALSE;
    if (!::SetCommState(peer, &line)) return false;
    // Whatever an earlier user of the wire left behind is not this test's.
    ::PurgeComm(peer, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return true;
  }

  void Close() {
    if (peer != INVALID_HANDLE_VALUE) {
      ::CancelIoEx(peer, nullptr);
      ::CloseHandle(peer);
      peer = INVALID_HANDLE_VALUE;
    }
    for (HANDLE* event : {&readDone, &writeDone}) {
      if (*event != nullptr) {
        ::CloseHandle(*event);
        *event = nullptr;
      }
    }
  }

  // Runs one transfer started by start(overlapped) to its end, waiting at
  // most timeoutMs; a transfer still going then is cancelled. The count of
  // bytes moved, or -1 on failure.
  template <typename Start>
  long Transfer(HANDLE done, Start start, DWORD timeoutMs) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = done;
    ::ResetEvent(done);
    DWORD moved = 0;
    if (start(&overlapped)) {
      return ::GetOverlappedResult(peer, &overlapped, &moved, FALSE) ? static_cast<long>(moved)
                                                                     : -1;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return -1;
    if (::WaitForSingleObject(done, timeoutMs) != WAIT_OBJECT_0) {
      // The record lives on this stack: the transfer must be over before
      // returning, so cancel it and wait for the cancellation.
      ::CancelIoEx(peer, &overlapped);
    }
    return ::GetOverlappedResult(peer, &overlapped, &moved, TRUE) ? static_cast<long>(moved) : -1;
  }

  // Reads what arrives: returns as soon as at least one byte is there, or
  // after waitMs with nothing. The first byte is read under a plain total
  // time-out and the rest is what is queued by then: Wine's driver does not
  // end a read early on the "any bytes" time-outs (interval and multiplier
  // MAXDWORD) and waits for the whole count.
  long ReadSome(unsigned char* buffer, DWORD size, DWORD waitMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = std::max<DWORD>(waitMs, 1);
    if (size == 0 || !::SetCommTimeouts(peer, &timeouts)) return -1;
    const long first = Transfer(
        readDone,
        [&](OVERLAPPED* overlapped) {
          return ::ReadFile(peer, buffer, 1, nullptr, overlapped) != FALSE;
        },
        timeouts.ReadTotalTimeoutConstant + 5000);
    if (first <= 0) return first;
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(peer, &errors, &status)) return first;
    const DWORD queued = std::min<DWORD>(status.cbInQue, size - 1);
    if (queued == 0) return first;
    const long rest = Transfer(
        readDone,
        [&](OVERLAPPED* overlapped) {
          return ::ReadFile(peer, buffer + 1, queued, nullptr, overlapped) != FALSE;
        },
        timeouts.ReadTotalTimeoutConstant + 5000);
    return rest < 0 ? first : first + rest;
  }
};

NullModemPair::NullModemPair() : impl_(new Impl) {
  std::string peerName;
  if (!TakePair(impl_->portName, peerName) || !impl_->Open(peerName)) impl_->Close();
}

NullModemPair::~NullModemPair() = default;

bool NullModemPair::ok() const { return impl_->peer != INVALID_HANDLE_VALUE; }
std::string NullModemPair::portName() const { return impl_->portName; }

bool NullModemPair::PeerWrite(const void* data, std::size_t size,
                              std::chrono::milliseconds deadline) {
  if (!ok()) return false;
  const auto end = Clock::now() + deadline;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 20));
    const long written = impl_->Transfer(
        impl_->writeDone,
        [&](OVERLAPPED* overlapped) {
          return ::WriteFile(impl_->peer, bytes, piece, nullptr, overlapped) != FALSE;
        },
        MillisecondsLeft(end));
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::vector<unsigned char> NullModemPair::PeerReadExactly(std::size_t size,
                                                          std::chrono::milliseconds deadline) {
  std::vector<unsigned char> out;
  if (!ok()) return out;
  out.reserve(size);
  const auto end = Clock::now() + deadline;
  std::vector<unsigned char> buffer(65536);
  while (out.size() < size) {
    const DWORD left = MillisecondsLeft(end);
    if (left == 0) break;
    const DWORD want = static_cast<DWORD>(std::min(size - out.size(), buffer.size()));
    const long got = impl_->ReadSome(buffer.data(), want, std::min<DWORD>(left, 1000));
    if (got < 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + got);
  }
  return out;
}

std::vector<unsigned char> NullModemPair::PeerReadUntilQuiet(std::chrono::milliseconds quiet) {
  std::vector<unsigned char> out;
  if (!ok()) return out;
  std::vector<unsigned char> buffer(65536);
  for (;;) {
    const long got = impl_->ReadSome(buffer.data(), static_cast<DWORD>(buffer.size()),
                                     static_cast<DWORD>(quiet.count()));
    if (got <= 0) break;
    out.insert(out.end(), buffer.begin(), buffer.begin() + got);
  }
  return out;
}

void NullModemPair::PeerHangUp() { impl_->Close(); }

bool NullModemPair::PeerHasModemLines() {
  DWORD status = 0;
  return ok() && ::GetCommModemStatus(impl_->peer, &status) != FALSE;
}

bool NullModemPair::PeerSetLines(bool dtr, bool rts) {
  return ::EscapeCommFunction(impl_->peer, dtr ? SETDTR : CLRDTR) &&
         ::EscapeCommFunction(impl_->peer, rts ? SETRTS : CLRRTS);
}

bool NullModemPair::PeerSeesPortLines(bool* dtr, bool* rts) {
  DWORD status = 0;
  if (!::GetCommModemStatus(impl_->peer, &status)) return false;
  *dtr = (status & MS_DSR_ON) != 0;
  *rts = (status & MS_CTS_ON) != 0;
  return true;
}

}  // namespace kavrel_test
