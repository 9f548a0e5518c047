// One process-wide symbol text for trace filtering, empty at start. Set it
// before the threads that read it start.
#pragma once

#include <cstddef>

class TraceSymbol
{
public:
    static constexpr std::size_t cSize = 32;

    // Keeps at most 31 characters of `symbol`; null empties it.
    static void setSymbol(const char* symbol);
    static const char* getSymbol();
    // `text` equals the stored symbol exactly; null matches nothing.
    static bool matches(const char* text);

private:
    static char sSymbol[cSize];
};
