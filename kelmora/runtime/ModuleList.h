// The host's module list: every component registered by name within a group
// (the default group or a sub-feed). Storage and lookup are the base's.
#pragma once

#include "zunq/module/ModuleListBase.h"

class ModuleList : public ModuleListBase
{
public:
    ModuleList();
    ~ModuleList() override;
};
