#include "FendralCore/messaging/MslPeerText.h"

#include <cstdio>

MslPeerText::MslPeerText(const char* field, size_t size)
{
    size_t length = 0;
    while (field != nullptr && length < size && field[length] != '\0')
        ++length;
    size_t out = 0;
    const size_t sample = length < SAMPLE_MAX ? length : SAMPLE_MAX;
    for (size_t i = 0; i < sample; ++i)
    {
        const auto byte = static_cast<unsigned char>(field[i]);
        if (byte >= 0x20 && byte < 0x7F)
            m_text[out++] = static_cast<char>(byte);
        else
            out += static_cast<size_t>(std::snprintf(m_text + out, sizeof(m_text) - out, "\\x%02X", byte));
    }
    if (length > sample)
        out += static_cast<size_t>(std::snprintf(m_text + out, sizeof(m_text) - out, "...(%zu bytes)", length));
    m_text[out] = '\0';
}
