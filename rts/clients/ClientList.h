// What the retransmission server sees of its client entitlement list: the
// per-client admin operations and the text reports.
#pragma once

#include <string>

class Log;

class ClientList
{
public:
    explicit ClientList(Log& log) : mLog(log) {}
    virtual ~ClientList() = default;

    virtual int resetNumRequestsPerClient(std::string& user) = 0;
    virtual int setMaxNumRequestsPerClient(std::string& user, int maxRequests) = 0;
    virtual int setMaxNumMessagesPerClient(std::string& user, unsigned maxMessages) = 0;
    virtual std::string getAllStats() = 0;
    virtual std::string getPerClientStats(std::string& user) = 0;
    virtual std::string getPerClientSettings(std::string& user) = 0;
    virtual std::string getAllSettings() = 0;
    virtual std::string getDetailedStatsPerClient(std::string& user) = 0;

protected:
    Log& mLog;
};
