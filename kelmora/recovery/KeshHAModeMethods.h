// The admin methods of a sub-feed's message handler: "getMode" answers its HA
// mode (alone, or in columns with the program and sub-feed names), "setHAMode"
// changes it through the handler's setHAMode(const HaMode&), so a plug-in's
// override sees the change. The factory binds both to the handler's thread.
#pragma once

#include "zunq/admin/KeshMethod.h"

#include <string>

class MessageHandler;

class KeshGetHAMode : public KeshMethod
{
public:
    KeshGetHAMode(MessageHandler& mh, const std::string& exeName, const std::string& subFeedName);

    // Argument "InfoType" (or the only one), "normal" or "detail" in any
    // case, default "normal"; more than one argument or another value is a
    // usage error.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    MessageHandler& mMh;
    const std::string mExeName;
    const std::string mSubFeedName;
};

class KeshSetHAMode : public KeshMethod
{
public:
    explicit KeshSetHAMode(MessageHandler& mh);

    // Exactly one argument ("Mode", or the first); a text that names no mode
    // is a usage error and changes nothing. Answers the mode read back.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    MessageHandler& mMh;
};
