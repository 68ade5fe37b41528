#pragma once
#include <windows.h>

#include "common/ServiceProtocol.h"

// Client side of the resident service's command pipe.
class RXUtil
{
public:
    // Sends one request and receives one reply of exactly cbReply bytes into pReply.
    // ERROR_OK (37) when the reply arrived with that size; 87 for a missing buffer; 13 for a reply
    // of another size; otherwise the Windows error of the pipe call. The command was carried out
    // only when, in addition, the reply's status is 37. Waits in 1000 ms steps for as long as the
    // service's pipe stays busy.
    static int SendCommEx(const void* pRequest, int cbRequest, void* pReply, int cbReply);
};
