// The retransmission server's client entitlement list, read from the
// "ClientList" section of the host configuration at start-up and on the
// reload admin method. Every client has a record in the statistics segment
// into which its counters are mirrored. Entries are never removed: a reload
// that leaves a user out revokes its addresses and channels and keeps its
// counters and record. Used on the server's thread only; it takes no lock.
#pragma once

#include "kelmora/bus/TerminateAll.h"
#include "libstats/stats/ZunqStatsWriter.h"
#include "rts/clients/ClientList.h"
#include "rts/clients/RtsClientEntry.h"
#include "zunq/bus/OrluSubscriber.h"

#include <map>
#include <memory>
#include <string>

class CfgEntry;
class ZunqConfigManager;

class RtsClientList : public ClientList, public OrluSubscriber<TerminateAll>
{
public:
    using ClientStore = std::map<std::string, std::unique_ptr<RtsClientEntry>>;

    explicit RtsClientList(Log& log);
    ~RtsClientList() override;

    int resetNumRequestsPerClient(std::string& user) override;
    int setMaxNumRequestsPerClient(std::string& user, int maxRequests) override;
    int setMaxNumMessagesPerClient(std::string& user, unsigned maxMessages) override;
    std::string getAllStats() override;
    std::string getPerClientStats(std::string& user) override;
    std::string getPerClientSettings(std::string& user) override;
    std::string getAllSettings() override;
    std::string getDetailedStatsPerClient(std::string& user) override;
    // Leaves the statistics segment attached: the server's thread counts
    // into it until that thread ends, and the process detaches it then
    // (the factory hands the writer over for that).
    void onData(const Orlu<TerminateAll>& orlu, const std::string& name, const TerminateAll& message) override;
    virtual int getMaxRequests(std::string& user);
    virtual unsigned getNumRejectedRequests(std::string& user);
    virtual void resetNumRejectedRequestsPerClient(std::string& user);

    // Attaches the statistics writer and reads the section; false without one.
    bool initialise(ZunqConfigManager* config);
    void populateClientList(const CfgEntry* section);
    // "Successfully", "Failed to load file", "Empty file" or "Internal Error".
    std::string reloadClientList();

    RtsClientEntry* getClientEntry(const std::string& user);
    int getNumClientConnections(std::string& user);
    void setNumClientConnections(std::string& user, int connections);
    void resetNumRejectedRequestsAll();

    // The list's own statistics writer: its configuration file for tests,
    // and what the process detaches at its end.
    ZunqStatsWriter& statsWriter() { return mStatsWriter; }

private:
    ClientStore mStore;
    ZunqStatsWriter mStatsWriter;
    std::unique_ptr<ZunqConfigManager> mCfgManager;
};

#include "kelmora/runtime/InitModule.h"

// Builds the list at start-up, subscribes it to TerminateAll, registers the
// reload admin method and the module "RtsClientList" (priority 311).
template <>
bool InitModule<RtsClientList>::createModule(ModuleList* list, ZunqConfigManager* config);
