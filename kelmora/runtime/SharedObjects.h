// Loads the plug-in libraries named in the configuration during module
// creation (priority 100, on the main thread) and calls each one's
// initialisation function "tarvok_so_init" (no arguments, result unused) when
// it exports one. A library that cannot be opened is logged and skipped; the
// libraries stay open until the process exits. The module keeps no state and
// registers no module.
//
// Sources, in this order: the option "--shared-objects" (one path), then each
// value of the section "SharedObjects".
#pragma once

#include "kelmora/runtime/InitModule.h"

#include <string>

class Log;

// Selects the loader's factory; never instantiated.
class SharedObjects;

template <>
bool InitModule<SharedObjects>::createModule(ModuleList* list, ZunqConfigManager* config);

// Opens `path` (RTLD_NOW | RTLD_GLOBAL) and calls its "tarvok_so_init". An
// empty path does nothing. `log` may be null.
void loadSharedObjects(const std::string& path, Log* log);
