/* The module's version record: the one place it is written down.
 *
 * Plain macros, so the same file feeds the C++ code (and through it any host
 * tool that asks kavrel::GetModuleVersion) and the Windows resource compiler
 * building the VERSIONINFO resource of Kavrel.dll. Texts are UTF-8. */
#ifndef KAVREL_VERSION_RECORD_H
#define KAVREL_VERSION_RECORD_H

#define KAVREL_FILE_VERSION_NUMBERS 3, 0, 7, 2
#define KAVREL_FILE_VERSION_TEXT "3.0.7.2"
#define KAVREL_PRODUCT_VERSION_NUMBERS 20, 11, 8, 16
#define KAVREL_PRODUCT_VERSION_TEXT "20.11.8.16"
/* Fixed-information flags of the Windows resource: a debug build
 * (VS_FF_DEBUG), for 32-bit Windows (VOS__WINDOWS32), a DLL (VFT_DLL). */
#define KAVREL_FILE_FLAGS 0x1L
#define KAVREL_FILE_OS 0x4L
#define KAVREL_FILE_TYPE 0x2L
/* "General serial-port communication library". */
#define KAVREL_FILE_DESCRIPTION "\xE9\x80\x9A\xE7\x94\xA8\xE4\xB8\xB2\xE5\x8F\xA3\xE9\x80\x9A\xE8\xAE\xAF\xE5\xBA\x93"
#define KAVREL_COMMENTS KAVREL_FILE_DESCRIPTION
#define KAVREL_INTERNAL_NAME "Kavrel"
#define KAVREL_ORIGINAL_FILENAME "Kavrel.DLL"
/* Chinese (PRC), Unicode string table. */
#define KAVREL_VERSION_LANGUAGE 0x0804
#define KAVREL_VERSION_CODEPAGE 1200
#define KAVREL_VERSION_TRANSLATION_KEY "080404b0"

#endif /* KAVREL_VERSION_RECORD_H */
