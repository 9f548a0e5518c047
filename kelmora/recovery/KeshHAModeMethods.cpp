#include "kelmora/recovery/KeshHAModeMethods.h"

#include "kelmora/recovery/MessageHandler.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <algorithm>
#include <cctype>
#include <iomanip>
#include <sstream>

namespace
{

// The argument of that name, else the only one; null when neither.
const KeshParam* argument(const KeshParamList& in, const std::string& name)
{
    if (const KeshParam* named = in.getParam(name))
        return named;
    return in.size() == 1 ? in.getParam(std::size_t{0}) : nullptr;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

} // namespace

KeshGetHAMode::KeshGetHAMode(MessageHandler& mh, const std::string& exeName, const std::string& subFeedName)
    : KeshMethod("getMode", KESH_METHOD_INFO, "Check the HA \"mode\" that the MessageHandler is runnning in."),
      mMh(mh),
      mExeName(exeName),
      mSubFeedName(subFeedName)
{
    addArgParamDef("InfoType",
                   "How to display info: NORMAL (only the mode), DETAIL (binary_name sub_feed_name mode).", "normal",
                   false);
    addResultParamDef("Mode", "Single string containing all status parameters.");
    addResultParamDef("ExeName", "Name of executable used to launch this feed handler.");
    addResultParamDef("SubFeedName", "Name of subfeed.");
    addResultParamDef("HAMode", "Current MessageHandler ha mode.");
}

void KeshGetHAMode::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() > 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = argument(in, "InfoType");
    const std::string infoType = lower(param != nullptr ? param->getValue() : "normal");
    const std::string mode = mMh.getHAMode().str();
    if (infoType == "normal")
    {
        out.add("Mode", mode);
        return;
    }
    if (infoType != "detail")
        throw KeshUsageError("KESH usage");
    std::ostringstream columns;
    columns << std::setw(12) << mExeName << ' ' << std::setw(20) << mSubFeedName << ' ' << std::setw(12) << mode
            << ' ';
    out.add("Mode", columns.str());
}

KeshSetHAMode::KeshSetHAMode(MessageHandler& mh)
    : KeshMethod("setHAMode", KESH_METHOD_ACTION_INFO, "Set the HA \"mode\" that the MessageHandler is runnning in."),
      mMh(mh)
{
    addArgParamDef("Mode",
                   "New MessageHandler mode.  Can be one of the following:\n    - Active\n    - Standby\n    - "
                   "Error\n    - Unknown\n",
                   "Active", true);
    addResultParamDef("Mode", "New MessageHandler HA mode");
}

void KeshSetHAMode::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = in.getParam("Mode");
    if (param == nullptr)
        param = in.getParam(std::size_t{0});
    const HaMode mode(param->getValue());
    if (mode == HaMode::ERROR)
        throw KeshUsageError("KESH usage");
    mMh.setHAMode(mode);
    out.add("Mode", mMh.getHAMode().str());
}
