// Fixed text key of N characters (48 in use). NUL-terminated when shorter than
// N, unterminated when exactly N; every byte after the first NUL is 0, which
// the hash of the unsorted containers relies on.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

#include <cstring>

template <int N>
class CharArray
{
public:
    char m_dataTxt[N];

    CharArray() { std::memset(m_dataTxt, 0, N); }
    CharArray(const char* theTxt) { assign(theTxt); }
    CharArray(const CharArray& orig) { assign(orig.m_dataTxt); }
    virtual ~CharArray() = default;

    CharArray& operator=(const char* theTxt)
    {
        assign(theTxt);
        return *this;
    }
    CharArray& operator=(const CharArray& rhs)
    {
        if (this != &rhs)
            assign(rhs.m_dataTxt);
        return *this;
    }

    int compare(const CharArray& other) const
    {
        for (int i = 0; i < N; ++i)
        {
            const auto a = static_cast<unsigned char>(m_dataTxt[i]);
            const auto b = static_cast<unsigned char>(other.m_dataTxt[i]);
            if (a != b)
                return a < b ? -1 : 1;
            if (a == 0)
                return 0;
        }
        return 0;
    }

    bool operator<(const CharArray& rhs) const { return compare(rhs) < 0; }
    bool operator<=(const CharArray& rhs) const { return compare(rhs) <= 0; }
    bool operator>(const CharArray& rhs) const { return compare(rhs) > 0; }
    bool operator>=(const CharArray& rhs) const { return compare(rhs) >= 0; }
    bool operator==(const CharArray& rhs) const { return compare(rhs) == 0; }
    bool operator!=(const CharArray& rhs) const { return compare(rhs) != 0; }

    const char* c_str() const { return m_dataTxt; }
    operator char*() { return m_dataTxt; }
    operator const char*() const { return m_dataTxt; }

    // XOR of the text's 8-byte words up to the first all-zero word.
    uint64 hashValue() const
    {
        uint64 hash = 0;
        for (int i = 0; i + 8 <= N; i += 8)
        {
            uint64 word;
            std::memcpy(&word, m_dataTxt + i, 8);
            if (word == 0)
                break;
            hash ^= word;
        }
        return hash;
    }

private:
    // A null text is taken as the empty text.
    void assign(const char* theTxt)
    {
        int i = 0;
        if (theTxt != nullptr)
            for (; i < N && theTxt[i] != '\0'; ++i)
                m_dataTxt[i] = theTxt[i];
        std::memset(m_dataTxt + i, 0, N - i);
    }
};

static_assert(sizeof(CharArray<48>) == 56, "a 48-byte text behind the table pointer");
