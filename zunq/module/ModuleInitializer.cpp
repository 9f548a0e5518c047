#include "zunq/module/ModuleInitializer.h"

#include "zunq/log/Log.h"
#include "zunq/log/LogRegistry.h"
#include "zunq/module/InitModuleX.h"

#include <climits>

ModuleInitializer::ModuleInitializer() = default;

ModuleInitializer::~ModuleInitializer() = default;

void ModuleInitializer::addModule(InitModuleX* factory, int priority)
{
    if (factory == nullptr)
        return;
    std::lock_guard lock(mLock);
    for (const Entry& entry : mEntries)
        if (entry.factory == factory)
            return;
    mEntries.push_back(Entry{priority, mNextSequence++, factory, false});
}

std::size_t ModuleInitializer::pending() const
{
    std::lock_guard lock(mLock);
    std::size_t count = 0;
    for (const Entry& entry : mEntries)
        if (!entry.done)
            ++count;
    return count;
}

std::optional<ModuleInitializer::Entry> ModuleInitializer::takeNext()
{
    std::lock_guard lock(mLock);
    Entry* next = nullptr;
    for (Entry& entry : mEntries)
    {
        if (entry.done)
            continue;
        if (next == nullptr || entry.priority < next->priority
            || (entry.priority == next->priority && entry.sequence < next->sequence))
            next = &entry;
    }
    if (next == nullptr)
        return std::nullopt;
    next->done = true;
    return *next;
}

void ModuleInitializer::initialize(ModuleList* list, ZunqConfigManager* config)
{
    {
        std::lock_guard lock(mLock);
        if (mRunning)
        {
            if (Log* log = LogRegistry::g_logger)
                log->error() << "ModuleInitializer::initialize(): already running, nested call ignored";
            return;
        }
        mRunning = true;
    }
    struct RunningReset
    {
        ModuleInitializer& self;
        ~RunningReset()
        {
            std::lock_guard lock(self.mLock);
            self.mRunning = false;
        }
    } reset{*this};

    int reached = INT_MIN;
    // The factory runs without the lock held: it may register further factories.
    while (std::optional<Entry> entry = takeNext())
    {
        int priority = entry->priority;
        InitModuleX* factory = entry->factory;
        Log* log = LogRegistry::g_logger;
        if (priority < reached)
        {
            if (log != nullptr)
                log->warning() << "ModuleInitializer::initialize(): factory |" << factory->getName()
                               << "| of priority |" << priority << "| registered after priority |"
                               << reached << "| ran; creating it now";
        }
        else
        {
            reached = priority;
        }
        if (log != nullptr && log->enabled(LOG_LEVEL_DEBUG))
            log->debug() << "ModuleInitializer::initialize(): creating |" << factory->getName()
                         << "| priority |" << priority << "|";
        if (!factory->createModule(list, config) && log != nullptr)
            log->warning() << "ModuleInitializer::initialize(): factory |" << factory->getName()
                           << "| created no module";
    }
}

ModuleInitializer* moduleInitializer()
{
    static ModuleInitializer initializer;
    return &initializer;
}
