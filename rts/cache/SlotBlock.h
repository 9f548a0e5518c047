// One block of memory for a cache's records, laid out in slot order. A large
// block is asked to be backed by huge pages: a replay reads records all over
// a cache of many megabytes, and with small pages nearly every record read
// would first miss the address translation cache.
#pragma once

#include <cstddef>

class SlotBlock
{
public:
    SlotBlock() = default;
    explicit SlotBlock(std::size_t bytes);
    ~SlotBlock();
    SlotBlock(SlotBlock&& other) noexcept;
    SlotBlock& operator=(SlotBlock&& other) noexcept;
    SlotBlock(const SlotBlock&) = delete;
    SlotBlock& operator=(const SlotBlock&) = delete;

    void* data() const { return mData; }

private:
    void release();

    void* mData = nullptr;
    std::size_t mBytes = 0;
};
