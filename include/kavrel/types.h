// The Win32 types embedded in SerialCtl, and Kavrel's small CString.
//
// On Windows these are the real types from <windows.h>, re-exported into
// namespace kavrel. Elsewhere Kavrel defines them itself, with the same
// layout and the same member names, inside namespace kavrel so they never
// clash with a host's own definitions.
#ifndef KAVREL_TYPES_H
#define KAVREL_TYPES_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#if defined(_WIN32)
#if defined(KAVREL_BUILDING_LIBRARY)
#define KAVREL_API __declspec(dllexport)
#elif defined(KAVREL_STATIC)
#define KAVREL_API
#else
#define KAVREL_API __declspec(dllimport)
#endif
#define KAVREL_CALLBACK WINAPI
#else
#define KAVREL_API __attribute__((visibility("default")))
#define KAVREL_CALLBACK
#endif

namespace kavrel {

#if defined(_WIN32)

using ::BOOL;
using ::BYTE;
using ::COMSTAT;
using ::DCB;
using ::DWORD;
using ::HANDLE;
using ::LONG;
using ::LPARAM;
using ::OVERLAPPED;
using ::UINT;
using ::WORD;
using ::WPARAM;

#else

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

// A handle is a 32-bit value from the library's handle table, never a file
// descriptor: 0 is empty and all bits set is INVALID_HANDLE_VALUE.
using HANDLE = std::uint32_t;
constexpr HANDLE INVALID_HANDLE_VALUE = 0xFFFFFFFFu;

// Line settings, member for member as a Windows host knows them.
struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
};

// Status snapshot: a flags word and the two queue counts.
struct COMSTAT {
  DWORD fCtsHold : 1;
  DWORD fDsrHold : 1;
  DWORD fRlsdHold : 1;
  DWORD fXoffHold : 1;
  DWORD fXoffSent : 1;
  DWORD fEof : 1;
  DWORD fTxim : 1;
  DWORD fReserved : 25;
  DWORD cbInQue;
  DWORD cbOutQue;
};

// Record of one asynchronous transfer. Internal and InternalHigh belong to
// the driver (status and transferred count); hEvent is signalled when the
// transfer finishes.
struct OVERLAPPED {
  std::uintptr_t Internal;
  std::uintptr_t InternalHigh;
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    void* Pointer;
  };
  HANDLE hEvent;
};

#endif

// A small string class with the surface hosts of the Windows library use:
// built from a C string, copied by value, read back as a C string. A null
// pointer gives an empty string.
class CString {
 public:
  CString() { Assign("", 0); }
  CString(const char* text) {  // NOLINT(google-explicit-constructor): hosts pass literals
    const char* source = text != nullptr ? text : "";
    Assign(source, std::strlen(source));
  }
  CString(const CString& other) { Assign(other.text_, other.length_); }
  CString& operator=(const CString& other) {
    if (this != &other) {
      char* previous = text_;
      Assign(other.text_, other.length_);
      delete[] previous;
    }
    return *this;
  }
  ~CString() { delete[] text_; }

  operator const char*() const { return text_; }  // NOLINT(google-explicit-constructor)
  int GetLength() const { return static_cast<int>(length_); }
  bool IsEmpty() const { return length_ == 0; }

  friend bool operator==(const CString& a, const CString& b) {
    return a.length_ == b.length_ && std::memcmp(a.text_, b.text_, a.length_) == 0;
  }
  friend bool operator==(const CString& a, const char* b) {
    return b != nullptr && std::strcmp(a.text_, b) == 0;
  }
  friend bool operator==(const char* a, const CString& b) { return b == a; }
  friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
  friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
  friend bool operator!=(const char* a, const CString& b) { return !(b == a); }

 private:
  void Assign(const char* source, std::size_t length) {
    text_ = new char[length + 1];
    std::memcpy(text_, source, length);
    text_[length] = '\0';
    length_ = length;
  }

  char* text_ = nullptr;
  std::size_t length_ = 0;
};

}  // namespace kavrel

#endif  // KAVREL_TYPES_H
