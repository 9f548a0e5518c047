// Admin method "reloadClientList": re-reads the client list's configuration
// files and answers with the list's result text. It must run on the server's
// thread, so that a reload falls between two requests.
#pragma once

#include "zunq/admin/KeshMethod.h"

class Log;
class RtsClientList;

class ReloadClientListMethod : public KeshMethod
{
public:
    ReloadClientListMethod(RtsClientList& list, Log& log);

    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    RtsClientList& mList;
    Log& mLog;
};
