//===-- include/tmcommon/tmmail.h - Addresses, dates, codecs, bounces -----===//
//
// The mail utilities: the wildcard matcher and the address functions, mail
// header dates, base64 and uuencode, identifiers, and bounce reports into
// the mail queue with the events that wake the delivery service.
//===----------------------------------------------------------------------===//
#pragma once

#include <cstdio>
#include <ctime>

#include "tmwin32.h"

// Matching and addresses. Subjects and addresses that the functions write
// into (multi-line matching, ParseAddress) are restored before they return.
TM_EXTERN_C TM_API int WildcardMatch(char* pszSubject, const char* pszPattern, char** ppszEnd);
TM_EXTERN_C TM_API char* stristr(const char* pszHaystack, const char* pszNeedle);
TM_EXTERN_C TM_API void ParseAddress(char* pszText, CString& cszAddress);
TM_EXTERN_C TM_API int IsValidAddress(const char* pszAddress);
TM_EXTERN_C TM_API int IsValidEmailAddress(char* pszAddress);
TM_EXTERN_C TM_API int IsLocalAddress(char* pszAddress);

// Dates. The header date parser is exported as tm_getdate: the C library
// already declares getdate (with another signature) in <time.h>, and a
// library export of that name would replace the C library's function in
// every process that loads this one.
TM_EXTERN_C TM_API time_t tm_getdate(const char* pszDate);
TM_EXTERN_C TM_API int getm(const char* pszMonth);
TM_EXTERN_C TM_API const char* GetInternetTimeString(char* pszBuffer, int nSize);

// Base64 and uuencode.
TM_EXTERN_C TM_API int MimeEncode(FILE* fpOut, const char* pszPath);
TM_EXTERN_C TM_API void MimeEncodeStr(const char* pSource, char* pszDest, int nLength);
TM_EXTERN_C TM_API int MimeDecodeLine(const char* pszText, unsigned char* pOut);
TM_EXTERN_C TM_API int MimeDecodeLineEx(const char* pszLine, unsigned char* pOut, char* pszCarry);
TM_EXTERN_C TM_API int UUDecodeLine(const char* pszLine, unsigned char* pOut);

// Identifiers.
TM_EXTERN_C TM_API DWORD GetNextId(void);
TM_EXTERN_C TM_API void CreateGuid(GUID* pGuid);
TM_EXTERN_C TM_API const char* GetMessageId(char* pszBuffer, int nSize, const char* pszHost);
// GetHostName: the value "hostname" of the parameters key when there is
// one, else the machine's host name, else "localhost". On Windows a process
// that never started the sockets layer got the default instead of the
// machine's name; here the machine's name is always asked for, which is
// what a program on this platform expects.
TM_EXTERN_C TM_API void GetHostName(CString& cszName);

// Bounce reports and queue signalling.
TM_EXTERN_C TM_API int BounceEmail(const char* pszMessageFile, char* pszRecipient,
                                   const char* pszReportingAddress, const char* pszIncludeFile,
                                   const char* pszReasonFormat, ...);
TM_EXTERN_C TM_API int SignalExternalEmail(void);
TM_EXTERN_C TM_API int SignalPriorityEmail(void);
