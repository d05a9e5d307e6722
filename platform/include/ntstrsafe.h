// The kernel's safe string routines: formatting, copying and appending with an explicit capacity, never
// writing past it.
//
// The UNICODE_STRING forms take MaximumLength (bytes) as the capacity and set Length to what was written;
// they neither need room for nor write a terminating NUL. The Cch/Cb forms work on NUL-terminated buffers
// of cchDest characters / cbDest bytes and always leave the result terminated. A result that does not fit
// is cut to what fits and STATUS_BUFFER_OVERFLOW returned. STATUS_INVALID_PARAMETER: an invalid
// destination (NULL, odd lengths, Length > MaximumLength, a NULL buffer with a capacity, a capacity past
// the maximum or zero for the Cch/Cb forms), a NULL source or format. The UNICODE_STRING forms leave the
// destination as it was then; the Cch/Cb forms leave an empty string when the buffer itself is valid.
#ifndef ZV_NTSTRSAFE_H
#define ZV_NTSTRSAFE_H

#include "ntddk.h"

#include <stdarg.h>
#include <stddef.h>

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

#ifdef __cplusplus
extern "C" {
#endif

NTSTATUS RtlUnicodeStringInit(PUNICODE_STRING DestinationString, PCWSTR pszSrc);
NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...);
NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, PCWSTR pszSrc);
NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc);

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);

// STATUS_INVALID_PARAMETER when the destination holds no NUL within its capacity.
NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);

// The length without the NUL; STATUS_INVALID_PARAMETER (and a length of 0) when there is no NUL within the
// maximum. The length pointer is optional.
NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);

#ifdef __cplusplus
}
#endif

#endif // ZV_NTSTRSAFE_H
