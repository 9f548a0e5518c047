// The host's configured application threads. The factory (priority 79, the
// first module) reads "NamedThreads", builds one NamedThread and one Runnable
// per enabled thread (the default thread always among them) and registers
// each thread with the framework and the host's callback.
//
// Modules it registers, all on the main thread before any framework thread:
//   "NamedThreads"            Module<NamedThreads>, default group: the enabled names;
//   "MsgHandlingNamedThreads" Module<NamedThreads>, default group, when not empty;
//   "NamedThread"             Module<NamedThread>, in the group of each enabled thread.
// A thread whose "Enabled" begins with FALSE is left out of all three, so
// every later walk over the names sees only threads that exist.
#pragma once

#include "kelmora/runtime/InitModule.h"

#include "FendralServices/api/FwServices.h"

#include <list>
#include <string>

class ModuleList;
class ZunqConfigManager;

class NamedThreads : public std::list<std::string>
{
};

// How threads reach the framework; tests put their own in to watch the calls.
struct ThreadRegistrationCalls
{
    int (*registerThread)(const ThreadParam* param);
    int (*registerMessageCallback)(const char* name, int (*callback)(MessageType, EventMsg*, DataMsg*));
};
// The calls in use; the framework's own unless set.
void setThreadRegistrationCalls(const ThreadRegistrationCalls& calls);
ThreadRegistrationCalls getThreadRegistrationCalls();

template <>
bool InitModule<NamedThreads>::createModule(ModuleList* list, ZunqConfigManager* config);

// Registers every named thread with the framework, any "MIDDLEWARE_MD" first.
// A failed registration is logged and the others go on.
void createNamedThreads(ModuleList* list, ZunqConfigManager* config);

// Appends the message-handling threads to `subFeeds` (or the default group
// when there is none and `addDefault`). A "SubFeeds" module together with a
// message-handling thread is refused with std::invalid_argument.
void determineDefaultSubFeeds(ModuleList* list, std::list<std::string>& subFeeds, const std::string& prefix,
                              bool addDefault);
