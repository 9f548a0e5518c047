// The feed (channel) identifier field of the sequencing messages: a
// NUL-terminated text of at most MAX_FEED_ID - 1 characters.
#pragma once

#include <cstddef>
#include <cstring>

constexpr std::size_t MAX_FEED_ID = 32;

// Copies at most MAX_FEED_ID - 1 characters of `feedId` and always ends the
// field with a NUL; null gives the empty text.
inline void copyFeedId(char (&field)[MAX_FEED_ID], const char* feedId)
{
    if (feedId == nullptr)
    {
        field[0] = '\0';
        return;
    }
    std::size_t length = strnlen(feedId, MAX_FEED_ID - 1);
    std::memmove(field, feedId, length);
    field[length] = '\0';
}
