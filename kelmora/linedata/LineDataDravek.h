// One binary packet of the retransmission protocol: a 16-byte packet header
// and length-prefixed messages (see zunq/protocol/RetransProtocol.h).
// setData classifies the packet: no messages is a heartbeat (header number 1:
// the number is not to be checked), a first message of the reset type is a
// sequence reset whose payload is the packet without its header, anything
// else is data, split on demand into one LineDataBasic per message taken from
// the message factory's pool (or the heap without one). The messages borrow
// the packet's bytes and go back to the pool when the record is set again,
// assigned or destroyed.
//
// After a data packet of k messages from S the next number is S + k; the
// record's own number is S. A packet shorter than its header, or a reset too
// short for its new number, is refused with std::invalid_argument. A message
// that runs past the packet, or declares fewer bytes than its own header,
// ends the split ("LineDataDravek: block overrun" in the log).
#pragma once

#include "kelmora/linedata/LineData.h"
#include "libstats/pool/ArrayBackedPoolObject.h"

class LineDataDravekImpl;
class LineDataFactoryBasic;
class Log;

class LineDataDravek : public LineData, public Zunq::Utils::ArrayBackedPoolObject
{
public:
    LineDataDravek();
    LineDataDravek(const LineDataDravek& other);
    ~LineDataDravek() override;

    LineData& operator=(const LineData& other) override;
    LineData* clone() const override;

    void setData(const char* packet, std::uint32_t len) override;
    bool isBlockData() const override;
    void getBlockData(std::deque<const LineData*>*& out) const override;
    std::uint32_t getNextSeqNum() const override;

    // Where message records come from; null: plain heap records.
    void setLineDataBasicFactory(LineDataFactoryBasic* factory);
    // Where an overrun is reported; null: standard output.
    void setLog(Log* log);

private:
    LineDataDravekImpl* mDravekImpl;
};
