// Text of the retransmission protocol records for log lines: each field as
// name=value, joined by the separator the caller chooses. Text fields come
// from a peer and pass through writePeerBytes, so a log line never carries
// raw control bytes. For logs only: the format is not for parsing back.
// Any thread.
#pragma once

#include "zunq/protocol/RetransProtocol.h"

#include <cstddef>
#include <string>

class ZunqDumpUtils
{
public:
    // A null record gives "null".
    static std::string writeStructToString(const Zunq::PacketHeader* record, const char& separator);
    static std::string writeStructToString(const Zunq::Logon* record, const char& separator);
    static std::string writeStructToString(const Zunq::LogonResponse* record, const char& separator);
    static std::string writeStructToString(const Zunq::RetransmissionRequest* record, const char& separator);
    static std::string writeStructToString(const Zunq::RetransmissionResponse* record, const char& separator);

    // Bytes from a peer, a feed or a file as log text: printable ASCII kept,
    // any other byte as \xNN; more than 64 bytes are cut to the first 64,
    // followed by "..." and the full length ("...(100 bytes)").
    static std::string writePeerBytes(const char* data, std::size_t length);

    // A run of bytes (a packet's messages, say) as two fields, "length=<n>"
    // and "bytes=" with the sample writePeerBytes makes of them, joined by
    // the separator. Null bytes give "null".
    static std::string dumpBaseToStringLg(const char* bytes, const char& separator, std::size_t length);

    static constexpr std::size_t cPeerBytesSample = 64;
};
