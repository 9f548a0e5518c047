// Selects the factory of the raw line data channels (module
// "OrluLineDataBlock"); the channels themselves are Orlu<LineData>.
#pragma once

class OrluLineDataBlock
{
};
