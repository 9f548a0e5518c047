#include "kelmora/time/TraceSymbol.h"

#include <cstring>

char TraceSymbol::sSymbol[TraceSymbol::cSize] = {};

void TraceSymbol::setSymbol(const char* symbol)
{
    if (symbol == nullptr)
    {
        sSymbol[0] = '\0';
        return;
    }
    // Bounded: a longer text is cut, never written past the buffer.
    std::size_t length = strnlen(symbol, cSize - 1);
    std::memcpy(sSymbol, symbol, length);
    sSymbol[length] = '\0';
}

const char* TraceSymbol::getSymbol()
{
    return sSymbol;
}

bool TraceSymbol::matches(const char* text)
{
    return text != nullptr && std::strcmp(text, sSymbol) == 0;
}
