#include "FendralCore/foundation/SortedMultiMap.h"

template class SortedMultiMap<unsigned short>;
template class SortedMultiMap<unsigned int>;
template class SortedMultiMap<unsigned long>;
template class SortedMultiMap<short>;
template class SortedMultiMap<int>;
template class SortedMultiMap<long>;
template class SortedMultiMap<UInt128>;
template class SortedMultiMap<Int128>;
template class SortedMultiMap<CharArray<48>>;
