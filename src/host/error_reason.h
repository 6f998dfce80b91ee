// The library's side of kavrel::GetLastErrorReason: where a failing call
// leaves its reason for the calling thread.
#ifndef KAVREL_HOST_ERROR_REASON_H
#define KAVREL_HOST_ERROR_REASON_H

#include <string>

#include "kavrel/types.h"

namespace kavrel {
namespace host {

// Records that the current call failed with code. detail is the specific
// reason when the failing layer knows one (it then is the text); without it
// the text is the code's general wording. Never throws.
void RecordFailure(DWORD code, const std::string& detail = std::string());

// The general English wording for a Win32 error code ("no such device").
std::string DescribeError(DWORD code);

}  // namespace host
}  // namespace kavrel

#endif  // KAVREL_HOST_ERROR_REASON_H
