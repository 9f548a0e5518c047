// The manager of login connections: hands its login settings to every new
// connection that is a LineMasqueraderLogin. A derived manager supplies
// create with its own session class. Runs on the thread of its session.
#pragma once

#include "kelmora/masquerade/LineMasqueraderManagerTcp.h"

#include <memory>
#include <string>

class LineMasqueraderManagerLoginImpl;

class LineMasqueraderManagerLogin : public LineMasqueraderManagerTcp
{
public:
    LineMasqueraderManagerLogin(TarvokSession& session, Log& log);
    ~LineMasqueraderManagerLogin() override;

    LineMasqueraderTcp* create() override = 0;
    void initialize(LineMasqueraderTcp* connection) override;
    // Warns when clients could log in with empty credentials, then listens.
    void initListen() override;

    void setLoginUsername(const std::string& user);
    void setLoginPassword(const std::string& password);
    void setLoginTimeout(unsigned long seconds);
    void setHeartbeatInterval(unsigned long seconds);
    void setAllowSeqNumSetting(bool allow);

private:
    std::unique_ptr<LineMasqueraderManagerLoginImpl> mLoginImpl;
};
