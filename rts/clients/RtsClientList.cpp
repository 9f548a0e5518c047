#include "rts/clients/RtsClientList.h"

#include "libstats/stats/RtsClientStats.h"
#include "zunq/config/CfgEntry.h"
#include "zunq/config/ConfigError.h"
#include "zunq/config/ConfigFile.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"

#include <iomanip>
#include <set>
#include <sstream>

namespace
{
const char* const cPopulate = "RtsClientList::populateClientList() ";
const char* const cReload = "RtsClientList::reloadClientList() ";
constexpr long cMaxLimit = 2147483647L;

// A whole decimal number of digits only, up to `maximum`; false otherwise.
bool parseWhole(const std::string& text, long maximum, long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    long v = 0;
    for (char c : text)
    {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v > maximum)
        return false;
    value = v;
    return true;
}

// Dotted IPv4 as the server prints a peer's address: four numbers 0-255,
// without leading zeros. Anything else can never match.
bool isDottedIpv4(const std::string& text)
{
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4)
    {
        const std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9')
            ++i;
        const std::size_t len = i - start;
        if (len == 0 || len > 3 || (len > 1 && text[start] == '0') || std::stoi(text.substr(start, len)) > 255)
            return false;
        ++parts;
        if (parts < 4)
        {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
    }
    return i == text.size();
}

std::string statsHeader()
{
    std::ostringstream out;
    out << std::left << std::setw(23) << "UserId" << std::setw(20) << "IpAddress" << std::setw(17) << "Total Requests"
        << std::setw(11) << "Successful" << std::setw(11) << "Rejected" << std::setw(14) << "Current Status\n";
    return out.str();
}

std::string statsRow(const RtsClientEntry& e)
{
    std::ostringstream out;
    out << std::left << std::setw(24) << e.mUserId << std::setw(17) << e.mRequests << std::setw(11)
        << e.mSuccessfulRequests << std::setw(11) << e.mRejectedRequests << std::setw(14)
        << (e.mConnectionStatus != 0 ? "CONNECTED" : "DISCONNECTED") << "\n";
    return out.str();
}

std::string settingsHeader()
{
    std::ostringstream out;
    out << std::left << std::setw(23) << "UserId" << std::setw(20) << "IpAddress" << std::setw(11) << "MaxRequests\n";
    return out.str();
}

std::string settingsRow(const RtsClientEntry& e)
{
    std::ostringstream out;
    out << std::left << std::setw(24) << e.mUserId << std::setw(20) << e.mMaxRequests << "\n";
    return out.str();
}
} // namespace

RtsClientList::RtsClientList(Log& log)
    : ClientList(log), OrluSubscriber<TerminateAll>("RtsClientList")
{
}

RtsClientList::~RtsClientList() = default;

bool RtsClientList::initialise(ZunqConfigManager* config)
{
    mLog.info() << "RtsClientList::initialise() ..";
    if (!mStatsWriter.init(mLog, "RtsClientList"))
        mLog.error() << "RtsClientList::initialise() Failed to initialise stats writer.";
    const CfgEntry* section = config != nullptr ? config->getChild("ClientList") : nullptr;
    if (section == nullptr)
    {
        mLog.warning() << "RtsClientList::initialise() cannot find ClientList section in config file";
        return false;
    }
    populateClientList(section);
    mCfgManager = std::make_unique<ZunqConfigManager>(*config);
    return true;
}

void RtsClientList::populateClientList(const CfgEntry* section)
{
    if (mLog.enabled(LOG_LEVEL_DEBUG))
        mLog.debug() << cPopulate << "numChildren=" << section->numChildren();
    std::set<std::string> named;
    for (const CfgEntry* child : section->getChildren())
    {
        std::string user;
        if (const CfgEntry* e = child->getChild("UserName"))
            e->getValue(user);
        RtsClientEntry* existing = user.empty() ? nullptr : getClientEntry(user);
        // A limit that is not a whole number from 0 to 2^31 - 1 is skipped,
        // never cut or read as 0: the entry keeps what it had.
        long limits[3] = {existing ? static_cast<long>(existing->mMaxGap) : 0,
                          existing ? static_cast<long>(existing->mMaxRequests) : 0,
                          existing ? static_cast<long>(existing->mMaxMessages) : 0};
        const char* const keys[3] = {"MaximumGap", "MaximumRequests", "MaximumMessages"};
        for (int k = 0; k < 3; ++k)
        {
            const CfgEntry* e = child->getChild(keys[k]);
            if (e == nullptr)
                continue;
            long value = 0;
            if (e->getValue(value) && value >= 0 && value <= cMaxLimit)
                limits[k] = value;
            else
                mLog.warning() << cPopulate << "Skipping " << keys[k] << " <" << e->getRawValue() << "> of user "
                               << user << ": not a whole number from 0 to " << cMaxLimit;
        }
        mLog.info() << cPopulate << " UserName=" << user << " MaximumGap=" << limits[0]
                    << " MaximumRequests=" << limits[1] << " MaximumMessages=" << limits[2];
        if (user.empty())
            continue;
        named.insert(user);

        RtsClientEntry* entry = existing;
        if (entry != nullptr)
        {
            entry->mMaxGap = static_cast<std::uint32_t>(limits[0]);
            entry->mMaxRequests = static_cast<std::int32_t>(limits[1]);
            entry->mMaxMessages = static_cast<std::uint32_t>(limits[2]);
            mLog.info() << cPopulate << "Updating IP Address";
        }
        else
        {
            RtsClientStats* stats = nullptr;
            const int code = mStatsWriter.addRtsClientEntry(mLog, stats, user);
            mLog.info() << cPopulate << "Create Stats for client = " << user << " returns "
                        << ZunqStatsWriter::ReturnCodesText(code);
            if (code > ZunqStatsWriter::ENTRY_EXISTS)
            {
                mLog.warning() << cPopulate << "Unable to create an entry to stats table for client '" << user << "'.";
                stats = nullptr;
            }
            auto created = std::make_unique<RtsClientEntry>(mLog, user, stats, static_cast<std::uint32_t>(limits[0]),
                                                            static_cast<std::int32_t>(limits[1]),
                                                            static_cast<std::uint32_t>(limits[2]));
            entry = created.get();
            mLog.info() << cPopulate << "Adding UserId " << user << " to ClientList Table";
            mStore.emplace(user, std::move(created));
        }

        entry->mIpAddresses.clear();
        if (const CfgEntry* e = child->getChild("IpAddresses"))
            for (const std::string& address : e->values())
            {
                if (!isDottedIpv4(address))
                    mLog.warning() << cPopulate << "IP Address <" << address << "> of user " << user
                                   << " is not dotted IPv4 and can never match";
                mLog.info() << cPopulate << "Adding IP Address <" << address << ">";
                entry->mIpAddresses.insert(address);
            }
        if (existing != nullptr)
            mLog.info() << cPopulate << "Updating channel id";
        entry->mChannels.clear();
        if (const CfgEntry* e = child->getChild("Channels"))
            for (const std::string& text : e->values())
            {
                long channel = 0;
                if (!parseWhole(text, 65535, channel) || channel == 0)
                {
                    mLog.warning() << cPopulate << "Skipping channel id <" << text << "> of user " << user
                                   << ": not a whole number from 1 to 65535";
                    continue;
                }
                mLog.info() << cPopulate << "Adding channel id <" << text << ">";
                entry->mChannels.insert(static_cast<std::uint16_t>(channel));
            }
    }
    // Entitlements are what the section says now: a user it leaves out keeps
    // its counters and record but can no longer connect or request.
    for (auto& [user, entry] : mStore)
    {
        if (named.count(user) != 0 || (entry->mIpAddresses.empty() && entry->mChannels.empty()))
            continue;
        entry->mIpAddresses.clear();
        entry->mChannels.clear();
        mLog.warning() << cPopulate << "Revoked addresses and channels of user " << user
                       << ", absent from the client list";
    }
}

std::string RtsClientList::reloadClientList()
{
    if (!mCfgManager)
        return "Internal Error";
    ZunqConfigManager fresh(0, nullptr);
    for (const std::string& file : mCfgManager->getConfigFileList())
    {
        mLog.info() << cReload << "loading " << file;
        std::unique_ptr<ConfigFile> loaded;
        try
        {
            loaded.reset(createConfigFile(file, *mCfgManager));
        }
        catch (const ConfigError& error)
        {
            mLog.warning() << cReload << error.what();
        }
        if (!loaded)
        {
            mLog.warning() << cReload << "failed to load " << file;
            return "Failed to load file";
        }
        fresh.addFile(loaded.get());
    }
    const CfgEntry* section = fresh.getChild("ClientList");
    if (section == nullptr)
    {
        mLog.warning() << cReload << "cannot find ClientList section in config file";
        return "Empty file";
    }
    populateClientList(section);
    return "Successfully";
}

RtsClientEntry* RtsClientList::getClientEntry(const std::string& user)
{
    auto found = mStore.find(user);
    return found != mStore.end() ? found->second.get() : nullptr;
}

int RtsClientList::getNumClientConnections(std::string& user)
{
    RtsClientEntry* e = getClientEntry(user);
    return e != nullptr ? e->mConnectionStatus : 0;
}

void RtsClientList::setNumClientConnections(std::string& user, int connections)
{
    if (RtsClientEntry* e = getClientEntry(user))
        e->mConnectionStatus = connections;
}

int RtsClientList::getMaxRequests(std::string& user)
{
    RtsClientEntry* e = getClientEntry(user);
    return e != nullptr ? e->mMaxRequests : 0;
}

unsigned RtsClientList::getNumRejectedRequests(std::string& user)
{
    RtsClientEntry* e = getClientEntry(user);
    return e != nullptr ? e->mRejectedRequests : 0;
}

int RtsClientList::resetNumRequestsPerClient(std::string& user)
{
    RtsClientEntry* e = getClientEntry(user);
    if (e == nullptr)
        return 0;
    e->mNumRequests = 0;
    return 1;
}

void RtsClientList::resetNumRejectedRequestsPerClient(std::string& user)
{
    if (RtsClientEntry* e = getClientEntry(user))
        e->updateRejectedRequests(0);
}

void RtsClientList::resetNumRejectedRequestsAll()
{
    for (auto& [user, entry] : mStore)
        entry->updateRejectedRequests(0);
}

int RtsClientList::setMaxNumRequestsPerClient(std::string& user, int maxRequests)
{
    RtsClientEntry* e = getClientEntry(user);
    if (e == nullptr)
        return 0;
    e->mMaxRequests = maxRequests;
    return 1;
}

int RtsClientList::setMaxNumMessagesPerClient(std::string& user, unsigned maxMessages)
{
    RtsClientEntry* e = getClientEntry(user);
    if (e == nullptr)
        return 0;
    e->mMaxMessages = maxMessages;
    return 1;
}

void RtsClientList::onData(const Orlu<TerminateAll>&, const std::string&, const TerminateAll&)
{
    // Detaching here, on the publisher's thread, pulled the segment from
    // under a session the server's thread was still serving.
}

std::string RtsClientList::getAllSettings()
{
    std::string out = settingsHeader();
    for (const auto& [user, entry] : mStore)
        out += settingsRow(*entry);
    return out;
}

std::string RtsClientList::getPerClientSettings(std::string& user)
{
    const RtsClientEntry* e = getClientEntry(user);
    return e != nullptr ? settingsHeader() + settingsRow(*e) : std::string();
}

std::string RtsClientList::getAllStats()
{
    std::string out = statsHeader();
    for (const auto& [user, entry] : mStore)
        out += statsRow(*entry);
    std::ostringstream tail;
    tail << std::left << std::setw(30) << "Number of Unknown User Requests\n";
    return out + tail.str();
}

std::string RtsClientList::getPerClientStats(std::string& user)
{
    const RtsClientEntry* e = getClientEntry(user);
    return e != nullptr ? statsHeader() + statsRow(*e) : std::string();
}

std::string RtsClientList::getDetailedStatsPerClient(std::string& user)
{
    const RtsClientEntry* e = getClientEntry(user);
    if (e == nullptr)
        return std::string();
    std::ostringstream out;
    out << statsHeader() << statsRow(*e) << std::left;
    const std::pair<const char*, std::uint32_t> lines[] = {
        {"Maximum Number of Requests Reached Request", e->mMaxNumRequestsReached},
        {"Illegal Connection Requests", e->mIllegalConnectionRequests},
        {"Illegal Request Length", e->mIllegalLengthRequests},
        {"Illegal Request Type", e->mIllegalTypeRequests},
        {"Service Not Available Requests", e->mServiceUnavailable}};
    for (const auto& [label, value] : lines)
        out << std::setw(45) << label << value << "\n";
    return out.str();
}
