// Fixed-width number text for log headers and file names. Digits come from
// "0123456789ABCDEF"; nothing is allocated and no NUL is written unless stated.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

extern const char DIGIT_CHARS[];

// Writes value right-aligned in exactly width characters, blanks or "0" on the
// left. Returns 1, or 0 when the base is outside 2..16 or the value needs more
// than width digits.
int32 int2TxtRightAlign(uint64 value, char* dest, int32 width, int32 base, bool spaceFill);

// Writes the digits from the first position; the rest of the width is blanks
// (spaceFill) or a single NUL. Same result as int2TxtRightAlign.
int32 int2TxtLeftAlign(uint64 value, char* dest, int32 width, int32 base, bool spaceFill);
