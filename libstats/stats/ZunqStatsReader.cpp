#include "libstats/stats/ZunqStatsReader.h"

#include "libstats/stats/StatsMessage.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace
{

uint32_t published(const uint32_t& count, int64_t maximum)
{
    const uint32_t value = std::atomic_ref<uint32_t>(const_cast<uint32_t&>(count)).load(std::memory_order_acquire);
    return static_cast<uint32_t>(std::min<int64_t>(value, maximum));
}

// Printable ASCII kept; any other byte, and the quoting characters of the form, as \xNN.
std::string escapedName(const char* name, bool json)
{
    std::string out;
    for (unsigned char c : StatsMessage::recordName(name))
    {
        if (c >= 0x20 && c < 0x7f && c != '\\' && c != '"' && (json || c != ' '))
            out += static_cast<char>(c);
        else
        {
            char hex[8];
            std::snprintf(hex, sizeof hex, json ? "\\u%04x" : "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// One record as a line: "KIND name field=value ..." or a JSON object.
class Line
{
public:
    Line(std::ostream& out, bool json, const char* kind, const char* name)
        : mOut(out)
        , mJson(json)
    {
        if (mJson)
            mOut << "{\"kind\":\"" << kind << "\",\"name\":\"" << escapedName(name, true) << '"';
        else
            mOut << kind << ' ' << escapedName(name, false);
    }
    ~Line() { mOut << (mJson ? "}\n" : "\n"); }

    template <class Value>
    Line& field(const char* label, const Value& value)
    {
        if (mJson)
            mOut << ",\"" << label << "\":" << value;
        else
            mOut << ' ' << label << '=' << value;
        return *this;
    }

    template <class Value>
    Line& list(const char* label, const Value (&values)[4])
    {
        mOut << (mJson ? ",\"" : " ") << label << (mJson ? "\":[" : "=");
        for (int i = 0; i < 4; ++i)
            mOut << (i > 0 ? "," : "") << values[i];
        if (mJson)
            mOut << ']';
        return *this;
    }

private:
    std::ostream& mOut;
    bool mJson;
};

} // namespace

bool ZunqStatsReader::attach(const std::string& keyFile, const StatsSegmentLayout& layout, std::string& error)
{
    detach();
    const std::string problem = layout.problem();
    if (!problem.empty())
    {
        error = "invalid configuration: " + problem;
        return false;
    }
    const key_t key = ftok(keyFile.c_str(), 'x');
    const int id = key == -1 || key == IPC_PRIVATE ? -1 : shmget(key, 0, 0);
    shmid_ds info{};
    if (id < 0 || shmctl(id, IPC_STAT, &info) != 0)
    {
        error = "no statistics segment for key file " + keyFile + ": " + std::strerror(errno);
        return false;
    }
    if (info.shm_segsz < layout.size())
    {
        error = "segment of " + std::to_string(info.shm_segsz) + " bytes is smaller than the configured " +
                std::to_string(layout.size());
        return false;
    }
    void* memory = shmat(id, nullptr, SHM_RDONLY);
    if (memory == reinterpret_cast<void*>(-1))
    {
        error = std::string("cannot attach the statistics segment: ") + std::strerror(errno);
        return false;
    }
    const auto* header = static_cast<const StatsHeader*>(memory);
    if (std::atomic_ref<uint32_t>(const_cast<uint32_t&>(header->mCookie)).load(std::memory_order_acquire) !=
        StatsHeader::cCookie)
        error = "segment has an invalid cookie";
    else if (header->mShmSize != layout.size())
        error = "segment has size " + std::to_string(header->mShmSize) + ", the configuration gives " +
                std::to_string(layout.size());
    else if (!layout.countsFit(*header))
        error = "segment has record counts above the configured maxima";
    if (!error.empty())
    {
        shmdt(memory);
        return false;
    }
    mMemory = static_cast<const char*>(memory);
    mHeader = header;
    mLayout = layout;
    return true;
}

void ZunqStatsReader::detach()
{
    if (mMemory != nullptr)
        shmdt(mMemory);
    mMemory = nullptr;
    mHeader = nullptr;
}

void ZunqStatsReader::print(std::ostream& out, bool json) const
{
    if (mHeader == nullptr)
        return;
    const auto* latency = reinterpret_cast<const LatencyStats*>(mMemory + mLayout.latencyOffset());
    for (uint32_t i = 0; i < published(mHeader->mCountLatEntries, mLayout.mLatency); ++i)
    {
        const latency_table_t& t = latency[i].mLatencyTable;
        Line(out, json, "latency", latency[i].name_)
            .field("id", latency[i].mID)
            .field("msg_count", t.msg_count)
            .list("msg_latency_total", t.msg_latency_total)
            .list("msg_latency_min", t.msg_latency_min)
            .list("msg_latency_max", t.msg_latency_max);
    }
    const auto* in = reinterpret_cast<const BandwidthInStats*>(mMemory + mLayout.bandwidthInOffset());
    for (uint32_t i = 0; i < published(mHeader->mCountBinEntries, mLayout.mBandwidthIn); ++i)
    {
        const bandwidth_in_table_t& t = in[i].mBandwidthInTable;
        Line(out, json, "bandwidth_in", in[i].name_).field("pkts", t.pkts).field("msgs", t.msgs).field("bytes", t.bytes);
    }
    const auto* outbound = reinterpret_cast<const BandwidthOutStats*>(mMemory + mLayout.bandwidthOutOffset());
    for (uint32_t i = 0; i < published(mHeader->mCountBoutEntries, mLayout.mBandwidthOut); ++i)
    {
        const bandwidth_out_table_t& t = outbound[i].mBandwidthOutTable;
        Line(out, json, "bandwidth_out", outbound[i].name_)
            .field("pkts", t.pkts)
            .field("msgs", t.msgs)
            .field("bytes", t.bytes)
            .field("pkts_throt", t.pkts_throt)
            .field("max_q_size", t.max_q_size);
    }
    const auto* rts = reinterpret_cast<const RtsClientStats*>(mMemory + mLayout.rtsClientOffset());
    for (uint32_t i = 0; i < published(mHeader->mCountRtsEntries, mLayout.mRtsClients); ++i)
    {
        const rts_client_table_t& t = rts[i].mRtsClientTable;
        Line(out, json, "rts_client", rts[i].name_)
            .field("totalNumRequests", t.totalNumRequests)
            .field("totalNumAcceptRequests", t.totalNumAcceptRequests)
            .field("totalNumRejectRequests", t.totalNumRejectRequests)
            .field("totalExceedsMaxSeqRange", t.totalExceedsMaxSeqRange)
            .field("totalUnknownChannelId", t.totalUnknownChannelId)
            .field("totalMsgsNotAvailable", t.totalMsgsNotAvailable)
            .field("totalExceedsMaxRequests", t.totalExceedsMaxRequests)
            .field("totalNumMsgsAccepted", t.totalNumMsgsAccepted)
            .field("totalNumMsgsRetransmitted", t.totalNumMsgsRetransmitted);
    }
    const auto* sorvel = reinterpret_cast<const SorvelClientStats*>(mMemory + mLayout.sorvelClientOffset());
    for (uint32_t i = 0; i < published(mHeader->mCountSorvelEntries, mLayout.mSorvelClients); ++i)
    {
        const sorvel_client_table_t& t = sorvel[i].mSorvelClientTable;
        Line(out, json, "sorvel_client", sorvel[i].name_)
            .field("totalLogonAttempts", t.totalLogonAttempts)
            .field("totalSuccessfulLogons", t.totalSuccessfulLogons)
            .field("totalPasswordChangeAttempts", t.totalPasswordChangeAttempts)
            .field("totalSuccessfulPasswordChanges", t.totalSuccessfulPasswordChanges)
            .field("totalRefreshRequests", t.totalRefreshRequests)
            .field("totalRetransmissions", t.totalRetransmissions)
            .field("totalNumMsgsRetransmitted", t.totalNumMsgsRetransmitted);
    }
}
