#include "kelmora/runtime/ModuleList.h"

ModuleList::ModuleList() = default;

ModuleList::~ModuleList() = default;
