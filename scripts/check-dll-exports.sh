#!/usr/bin/env bash
# Checks a built Kavrel.dll: its PE format (pe32 for the 32-bit module,
# pe32+ for the 64-bit one) and that it exports every member of SerialCtl
# that hosts call, and the port controls beside it.
#
#   check-dll-exports.sh PATH/TO/Kavrel.dll pe32|pe32+
set -euo pipefail

dll=$1
format=$2
case $format in
  pe32) objdump=i686-w64-mingw32-objdump expected_format=pei-i386 ;;
  pe32+) objdump=x86_64-w64-mingw32-objdump expected_format=pei-x86-64 ;;
  *) echo "check-dll-exports: format must be pe32 or pe32+" >&2; exit 2 ;;
esac

failures=0
headers=$("$objdump" -f "$dll" 2>&1 || true)
private_headers=$("$objdump" -p "$dll" 2>&1 || true)
# The optional header's magic tells PE32 (010b) from PE32+ (020b); the
# characteristics list DLL for a library.
magic=$(sed -n 's/^Magic[[:space:]]*[0-9a-f]*[[:space:]]*(\(.*\))$/\1/p' <<<"$private_headers")
if ! grep -q "file format $expected_format\$" <<<"$headers" ||
   [[ ${magic,,} != "$format" ]] ||
   ! grep -qx $'\tDLL' <<<"$private_headers"; then
  echo "FAIL: $dll is not a $format DLL (file format $expected_format)"
  failures=$((failures + 1))
fi

# The export table's names, demangled.
exports=$(printf '%s\n' "$private_headers" |
  sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' |
  c++filt)

members=(
  "SerialCtl::SerialCtl()"
  "SerialCtl::SerialCtl(SerialCtl const&)"
  "SerialCtl::~SerialCtl()"
  "SerialCtl::operator=(SerialCtl const&)"
  "SerialCtl::SetSerial(kavrel::CString, long, int, int, kavrel::CString, char const*)"
  "SerialCtl::IsSerialOpen()"
  "SerialCtl::isCanSend()"
  "SerialCtl::GetVersion()"
  "SerialCtl::GetVer()"
  "SerialCtl::OpenSerial()"
  "SerialCtl::CloseSerial()"
  "SerialCtl::WriteSerial(unsigned char const*, unsigned long)"
  "SerialCtl::ReadSerial(unsigned char*, int&)"
  "SerialCtl::ReadSerial2(unsigned char*, int&)"
  "SerialCtl::ClearSerialBuf()"
  "SerialCtl::ListenSerial(long, long)"
  "SerialCtl::StopListenSerial()"
  # The port controls beside SerialCtl (kavrel/port_control.h).
  "kavrel::SetDtr(SerialCtl&, bool)"
  "kavrel::SetRts(SerialCtl&, bool)"
  "kavrel::GetModemLines(SerialCtl&, unsigned int*)"
  "kavrel::WaitForModemChange(SerialCtl&, unsigned int, unsigned int, unsigned int*)"
  "kavrel::SetFlowControl(SerialCtl&, kavrel::FlowSettings const&)"
  "kavrel::SendBreak(SerialCtl&, unsigned int)"
  "kavrel::SetBreak(SerialCtl&, bool)"
  "kavrel::Drain(SerialCtl&, unsigned int)"
  "kavrel::SetTimeouts(SerialCtl&, kavrel::PortTimeouts const&)"
  "kavrel::SetRestoreOnClose(SerialCtl&, bool)"
)
for member in "${members[@]}"; do
  if ! grep -qxF "$member" <<<"$exports"; then
    echo "FAIL: $dll does not export $member"
    failures=$((failures + 1))
  fi
done

if ((failures)); then
  exit 1
fi
echo "ok: $dll is a $format DLL ($expected_format) exporting all ${#members[@]} SerialCtl members and controls"
