// The system calls the three socket classes share: creating an IPv4 socket
// with close-on-exec, switching blocking, integer options, applying a buffer
// size with its read-back, and reading dotted address texts. Each returns what
// the system call gave and leaves errno for the caller, which logs with its
// own texts and sets its own framework error code.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <netinet/in.h>

class SocketCalls
{
public:
    // An IPv4 socket of type (SOCK_STREAM, SOCK_DGRAM) with close-on-exec set;
    // -1 with errno on failure. Under the accelerated network stack the flag
    // is set after creation, as that stack does not take it at creation.
    static int createSocket(int type);
    // Accepts one connection, its descriptor made close-on-exec the same way;
    // -1 with errno on failure.
    static int acceptConnection(int listenFd);

    // FIONBIO set to the opposite of blockMode; 0 or -1 with errno.
    static int setBlockMode(int fd, bool blockMode);
    static int setIntOption(int fd, int level, int name, int value);

    // How a buffer size request ended; value is the size to report.
    enum BufSizeStep : int32
    {
        BUF_DEFAULT_READ_FAILED = 0, // value: nothing
        BUF_DEFAULT_USED = 1,        // value: half the size read
        BUF_SET_FAILED = 2,
        BUF_READ_BACK_FAILED = 3,
        BUF_DIFFERS = 4,             // value: half the size read back
        BUF_AS_REQUESTED = 5,        // value: the request
    };
    struct BufSizeResult
    {
        BufSizeStep step;
        int error; // errno of a failed step, else 0
        int32 value;
    };
    // Applies SO_SNDBUF or SO_RCVBUF: a negative size keeps the system's
    // and reads it; otherwise sets it and reads it back. The kernel reports
    // twice what it keeps, so the values read are halved.
    static BufSizeResult applyBufSize(int fd, int option, int32 size);

    // A dotted IPv4 text as an address in network order; false (and out
    // untouched) when text is null or does not parse.
    static bool parseAddr(const char* text, in_addr_t& addr);
    // Interface text to bind or send on: empty or unparsable means any (0.0.0.0).
    static in_addr_t interfaceAddr(const char* text);

    // errno as text, for the log lines.
    static const char* errorText(int error, char* buffer, int size);
};
