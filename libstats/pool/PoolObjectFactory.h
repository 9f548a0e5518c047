// Builds the entries of a pool whose element size is known only at run time
// (an object followed by an array of its own, objects that need other pools).
// The pool calls it while a new level is linked, and after attaching a level
// another process built, to refresh the process-local pointers inside it.
#pragma once

#include <cstddef>

namespace Zunq::Utils
{

template <class T>
class PoolObjectFactory
{
public:
    virtual ~PoolObjectFactory() = default;

    // Called once at the end of a pool's set-up and once per growth.
    virtual void suppressPoolConsumptionWarning() {}
    // Constructs an object at memPosition (on the heap when null) and returns it.
    virtual T* createObject(void* memPosition, long id) = 0;
    // Bytes per entry.
    virtual std::size_t getObjectNeededSize() = 0;
    // Refreshes the process-local pointers of an object another process built.
    virtual void recalculatedPointers(void* basePosition) = 0;
};

} // namespace Zunq::Utils
