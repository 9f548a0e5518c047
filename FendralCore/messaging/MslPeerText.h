// Text of a field received from a peer, safe for a log line: printable ASCII
// as it is, any other byte as \xNN, at most 64 bytes of the field followed
// by "..." and the field's full length. A fixed-size text field (a name, an
// application id) ends at its first NUL or at its size.
//
// A value on the caller's stack; nothing is allocated.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstddef>

class MslPeerText
{
public:
    static constexpr size_t SAMPLE_MAX = 64;

    MslPeerText(const char* field, size_t size);
    template <size_t N>
    explicit MslPeerText(const char (&field)[N]) : MslPeerText(field, N)
    {
    }

    const char* c_str() const { return m_text; }

private:
    // Every sampled byte escaped, "...", and a length of up to 20 digits.
    char m_text[SAMPLE_MAX * 4 + 32];
};
