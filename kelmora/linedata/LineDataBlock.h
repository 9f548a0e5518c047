// One text block: a begin character, messages split by a separator, an end
// character, an optional trailing newline (dropped). setData checks the
// framing and takes the block's sequence number and flags from its first
// message; the block is split into one LineDataBasic per message on demand
// (getBlockData, getNextSeqNum). The split messages borrow the block's bytes
// and are the block's own records, reused from one block to the next, so a
// warm block allocates nothing per message.
//
// Message fields are read only inside their message: a field that is cut
// short by the message's end counts as absent (no number, no match). A
// control-category message is a control record; one whose type is a reset
// type is also a sequence reset.
#pragma once

#include "kelmora/linedata/LineData.h"

class LineDataBlockImpl;
class LineDataFactoryBlock;

class LineDataBlock : public LineData
{
public:
    explicit LineDataBlock(LineDataFactoryBlock& factory);
    LineDataBlock(const LineDataBlock& other);
    ~LineDataBlock() override;

    LineData& operator=(const LineData& other) override;
    LineData* clone() const override;

    // Throws std::invalid_argument "LineDataBlock: badly formatted block: "
    // for an empty block or a missing begin or end character.
    void setData(const char* block, std::uint32_t len) override;
    bool isBlockData() const override;
    void getBlockData(std::deque<const LineData*>*& out) const override;
    std::uint32_t getNextSeqNum() const override;

private:
    LineDataBlockImpl* mBlockImpl;
};
