// Start-up of the multicast feed lines: one LineHandlerMulticast per "Listen"
// entry of every sub-feed whose LineHandlerType names multicast, bound to the
// sub-feed's channels, watched by its line monitor, registered with the line
// controllers and the individual line map, and given its admin methods.
#pragma once

#include "kelmora/linehandler/LineHandlerMulticast.h"
#include "kelmora/runtime/InitModule.h"

#include <string>

class ModuleList;

// One entry of a "Listen" value: interface/group/service[/monitorOff], the
// interface after default substitution. Not ok when a field is missing or the
// entry, a field or the substituted interface is longer than 99 characters.
struct ListenEntry
{
    struct Parsed
    {
        bool ok = false;
        std::string interface, group, service;
        bool monitorOff = false;
    };
    static Parsed parse(const std::string& entry, const std::string& default1, const std::string& default2);
};

template <>
bool InitModule<LineHandlerMulticast>::createModule(ModuleList* list, ZunqConfigManager* config);

// The five admin methods of the line in the sub-feed's admin session, then the
// sub-feed's and the default group's line controllers. A null list does nothing.
void setupLineControl(ModuleList* list, LineHandlerMulticast* handler, const std::string& subFeed,
                      const std::string& group, const std::string& service);
// The line under its name in the default group's individual line map, if any.
void setupIndividualLineMap(ModuleList* list, LineHandler* handler);
