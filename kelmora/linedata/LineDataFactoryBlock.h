// Creates text block records and holds the block format they follow: begin
// and end characters, the message separator, and the fixed-position fields
// of each message (sequence number, category, type, retransmission marker).
// A character setting of 0 means none. Offsets count from the first
// character after the begin character, and for a message from its first
// character. Records are plain heap objects: create is new, destroy delete.
#pragma once

#include "kelmora/linedata/LineDataFactory.h"

#include <string>

class LineDataFactoryBlockImpl;

class LineDataFactoryBlock : public LineDataFactory
{
public:
    // Longest list of category or type characters.
    static constexpr std::size_t cMaxListChars = 5;
    // Longest retransmission field value.
    static constexpr std::size_t cMaxRetransChars = 7;

    LineDataFactoryBlock();
    ~LineDataFactoryBlock() override;

    LineDataFactoryBlock(const LineDataFactoryBlock&) = delete;
    LineDataFactoryBlock& operator=(const LineDataFactoryBlock&) = delete;

    LineData* create() override;
    void destroy(LineData* data) override;

    void setBlockBegin(char c);
    void setBlockEnd(char c);
    void setMsgSeparator(char c);
    void setSeqNumOffset(int offset);
    void setSeqNumLength(int length);
    void setCategoryOffset(int offset);
    // The three lists take up to 5 characters; a longer one throws
    // std::invalid_argument, an empty one clears the setting.
    void setCategoryControl(const std::string& chars);
    void setTypeOffset(int offset);
    void setTypeSeqNumReset(const std::string& chars);
    void setTypeHeartbeat(const std::string& chars);
    void setRetransOffset(int offset);
    void setRetransLength(int length);
    // Stored cut to 7 characters.
    void setRetransOrig(const std::string& value);
    void setRetransAll(const std::string& value);
    // The first retransmission-length characters, and never more than 7.
    void setRetransRecip(const std::string& value);

    char blockBegin() const;
    char blockEnd() const;
    char msgSeparator() const;
    int seqNumOffset() const;
    int seqNumLength() const;
    int categoryOffset() const;
    const char* categoryControl() const;
    int typeOffset() const;
    const char* typeSeqNumReset() const;
    const char* typeHeartbeat() const;
    int retransOffset() const;
    int retransLength() const;
    const char* retransOrig() const;
    const char* retransAll() const;
    const char* retransRecip() const;

private:
    LineDataFactoryBlockImpl* mImpl;
};
