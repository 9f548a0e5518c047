// Runs the module factories in ascending creation priority. Factories register
// from static initialisers, before main; initialize() then calls each one's
// createModule exactly once. Plug-ins loaded by a factory register more
// factories while initialize() runs: those join the walk in their priority
// order, and one whose priority is already behind the walk runs next, with a
// warning. Factories of equal priority run in the order they registered. An
// exception from a factory ends the walk and passes to the caller.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

class InitModuleX;
class ModuleList;
class ZunqConfigManager;

class ModuleInitializer
{
public:
    ModuleInitializer();
    ~ModuleInitializer();

    ModuleInitializer(const ModuleInitializer&) = delete;
    ModuleInitializer& operator=(const ModuleInitializer&) = delete;

    // A null factory, or one already registered, is ignored.
    void addModule(InitModuleX* factory, int priority);
    void initialize(ModuleList* list, ZunqConfigManager* config);

    // Factories registered and not yet run.
    std::size_t pending() const;

private:
    struct Entry
    {
        int priority;
        std::uint64_t sequence;
        InitModuleX* factory;
        bool done;
    };

    // The pending entry of lowest (priority, sequence), marked done; null when none is left.
    std::optional<Entry> takeNext();

    mutable std::mutex mLock;
    std::vector<Entry> mEntries;
    std::uint64_t mNextSequence = 0;
    bool mRunning = false;
};

// The process's initializer, built on first use so that static factories of
// every library can register whatever the order of static initialisation.
ModuleInitializer* moduleInitializer();
