// The admin record as both ends of the relay read it: five fixed text fields,
// each NUL-terminated text followed by zero bytes up to the field's end. A
// record that breaks that layout means the byte stream is out of step with
// the records (a peer that sent a wrong number of bytes): it is never
// executed or relayed.
#pragma once

#include "kelmora/thread/OrvaneIpcMsg.h"

#include <cstddef>
#include <string>

namespace orvane
{

constexpr std::size_t cRecordSize = sizeof(OrvaneIpcMsg);

struct TextField
{
    const char* name;
    std::size_t offset;
    std::size_t size;
};

inline constexpr TextField cTextFields[] = {
    {"subject", offsetof(OrvaneIpcMsg, mSubject), sizeof(OrvaneIpcMsg::mSubject)},
    {"reply subject", offsetof(OrvaneIpcMsg, mReplySubject), sizeof(OrvaneIpcMsg::mReplySubject)},
    {"args", offsetof(OrvaneIpcMsg, mArgs), sizeof(OrvaneIpcMsg::mArgs)},
    {"keshname", offsetof(OrvaneIpcMsg, mKeshName), sizeof(OrvaneIpcMsg::mKeshName)},
    {"method", offsetof(OrvaneIpcMsg, mMethod), sizeof(OrvaneIpcMsg::mMethod)},
};

// The first text field of the 1451 bytes at `record` that is not terminated
// text followed by zeros; null when the record keeps the layout.
const TextField* badField(const char* record);

// Copies `text` into a field of `size` bytes: at most size - 1 bytes, the
// rest zero.
void putField(char* field, std::size_t size, const char* text);

// "<name>|<bytes>|" for every text field, the bytes as the peer-bytes helper
// writes them: for log lines about a record a peer sent.
std::string describe(const char* record);

} // namespace orvane
