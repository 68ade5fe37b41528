#pragma once
#include <windows.h>

#include <stddef.h>

// Wire records of the resident client service's command pipe. Every field sits at a fixed
// offset: the service is a separate program, so the layout is packed and checked below.

constexpr const wchar_t* SERVICE_PIPE_NAME = L"\\\\.\\pipe\\QvDlp_SvrTransComm";

// Command codes and their qualifiers.
constexpr WORD STC_BASECMD_SYSEXEC = 11;
constexpr WORD STC_BASECMD_SYSEXEC_QUAL = 10;
constexpr WORD STC_MIR_LOGOUT = 102;
constexpr WORD STC_MIR_LOGOUT_QUAL = 0;
constexpr WORD STC_GET_LOGINSTATUS = 103;
constexpr WORD STC_GET_LOGINSTATUS_QUAL = 0;
constexpr WORD STC_GET_QVC_VERSION = 113;
constexpr WORD STC_GET_QVC_VERSION_QUAL = 4020;

// Request and reply sizes in bytes.
constexpr int STC_HEADER_REQUEST_SIZE = 16;
constexpr int STC_SYSEXEC_REQUEST_SIZE = 2768;
constexpr int STC_SYSEXEC_REPLY_SIZE = 16;
constexpr int STC_MIR_LOGOUT_REPLY_SIZE = 16;
constexpr int STC_GET_LOGINSTATUS_REPLY_SIZE = 816;
constexpr int STC_GET_QVC_VERSION_REPLY_SIZE = 56;

// Room of the text fields of SysExecRequest, terminator included.
constexpr int STC_SYSEXEC_CMDLINE_CCH = 780;
constexpr int STC_SYSEXEC_REQUESTER_CCH = 64;

#pragma pack(push, 1)
struct ServiceRequestHeader
{
    DWORD cbRequest; // 16 for header-only requests
    DWORD cbReply;   // the service answers with exactly this many bytes
    BYTE bConstant;  // 1
    BYTE bOption;    // 1 ("opt" in traces)
    WORD wReserved;  // 0
    WORD wCommand;   // "cmd" in traces
    WORD wQualifier;
};

struct ServiceReplyHeader
{
    DWORD dwUnused;
    DWORD dwStatus; // ERROR_OK (37) when the command was carried out
};

struct SysExecRequest
{
    ServiceRequestHeader hdr;
    DWORD dwSessionId;  // session in which the process is to run
    DWORD dwProcessId;  // the requester
    DWORD dwProcessId2; // the requester, again
    DWORD dwConstant;   // 5
    BYTE abReserved1[522];
    wchar_t szCmdLine[STC_SYSEXEC_CMDLINE_CCH];
    BYTE abReserved2[526];
    wchar_t szRequester[STC_SYSEXEC_REQUESTER_CCH];
};

struct SysExecReply
{
    ServiceReplyHeader hdr;
    DWORD dwProcessId; // of the started process
    DWORD dwReserved;
};

struct LogoutReply
{
    ServiceReplyHeader hdr;
    BYTE abReserved[8];
};

struct LoginStatusReply
{
    ServiceReplyHeader hdr;
    BYTE abReserved1[8];
    DWORD dwLoginStatus; // 1 or 0x80: the leak-prevention module is logged out
    BYTE abReserved2[796];
};

struct VersionReply
{
    ServiceReplyHeader hdr;
    BYTE abReserved1[12];
    DWORD adwVersion[4]; // most significant first
    BYTE abReserved2[20];
};
#pragma pack(pop)

static_assert(sizeof(ServiceRequestHeader) == STC_HEADER_REQUEST_SIZE, "request header");
static_assert(offsetof(ServiceRequestHeader, bOption) == 9, "option byte");
static_assert(offsetof(ServiceRequestHeader, wCommand) == 12, "command code");
static_assert(sizeof(ServiceReplyHeader) == 8, "reply header");
static_assert(sizeof(SysExecRequest) == STC_SYSEXEC_REQUEST_SIZE, "SysExecRequest");
static_assert(offsetof(SysExecRequest, dwSessionId) == 16, "session id");
static_assert(offsetof(SysExecRequest, dwConstant) == 28, "constant 5");
static_assert(offsetof(SysExecRequest, szCmdLine) == 554, "command line");
static_assert(offsetof(SysExecRequest, abReserved2) == 2114, "reserved after the command line");
static_assert(offsetof(SysExecRequest, szRequester) == 2640, "requester");
static_assert(sizeof(SysExecReply) == STC_SYSEXEC_REPLY_SIZE, "SysExecReply");
static_assert(offsetof(SysExecReply, dwProcessId) == 8, "started process id");
static_assert(sizeof(LogoutReply) == STC_MIR_LOGOUT_REPLY_SIZE, "LogoutReply");
static_assert(sizeof(LoginStatusReply) == STC_GET_LOGINSTATUS_REPLY_SIZE, "LoginStatusReply");
static_assert(offsetof(LoginStatusReply, dwLoginStatus) == 16, "login status");
static_assert(sizeof(VersionReply) == STC_GET_QVC_VERSION_REPLY_SIZE, "VersionReply");
static_assert(offsetof(VersionReply, adwVersion) == 20, "version numbers");

// Fills a request header; the rest of the request is the caller's.
inline void ServiceInitHeader(ServiceRequestHeader& hdr, int cbRequest, int cbReply, WORD wCommand,
                              WORD wQualifier)
{
    hdr.cbRequest = static_cast<DWORD>(cbRequest);
    hdr.cbReply = static_cast<DWORD>(cbReply);
    hdr.bConstant = 1;
    hdr.bOption = 1;
    hdr.wReserved = 0;
    hdr.wCommand = wCommand;
    hdr.wQualifier = wQualifier;
}
