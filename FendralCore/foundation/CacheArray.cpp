#include "FendralCore/foundation/CacheArray.h"

template class CacheArray<unsigned short>;
template class CacheArray<unsigned int>;
template class CacheArray<unsigned long>;
template class CacheArray<short>;
template class CacheArray<int>;
template class CacheArray<long>;
template class CacheArray<UInt128>;
template class CacheArray<Int128>;
template class CacheArray<CharArray<48>>;
