#include "FendralCore/foundation/SortedMap.h"

template class SortedMap<unsigned short>;
template class SortedMap<unsigned int>;
template class SortedMap<unsigned long>;
template class SortedMap<short>;
template class SortedMap<int>;
template class SortedMap<long>;
template class SortedMap<UInt128>;
template class SortedMap<Int128>;
template class SortedMap<CharArray<48>>;
