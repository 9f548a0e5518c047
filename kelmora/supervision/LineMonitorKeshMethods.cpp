#include "kelmora/supervision/LineMonitorKeshMethods.h"

#include "kelmora/supervision/LineMonitor.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"

#include <cctype>
#include <cstdint>
#include <limits>

namespace
{

const char* const cMessage = "Message";
const char* const cMessageHelp = "Message from LineMonitor object";
const char* const cTargetExample = "239.1.1.1:5000";

// The argument called `name`, else the first one; null when there is none.
const KeshParam* argument(const KeshParamList& args, const std::string& name)
{
    const KeshParam* param = args.getParam(name);
    return param != nullptr ? param : args.getParam(std::size_t{0});
}

// monitorOn/monitorOff: all lines without a target (or with an empty one).
void switchTarget(LineMonitor& monitor, const KeshParamList& args, KeshParamList& results, bool on)
{
    if (args.size() > 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = argument(args, "Target");
    const std::string target = param != nullptr ? param->getValue() : std::string();
    const std::string done = on ? "Monitoring is ON" : "Monitoring is OFF";
    if (target.empty())
    {
        on ? monitor.monitorOn() : monitor.monitorOff();
        results.add(cMessage, done);
        return;
    }
    on ? monitor.monitorOn(target) : monitor.monitorOff(target);
    results.add(cMessage, done + " for target: " + target);
}

} // namespace

KeshSetLineQualityInterval::KeshSetLineQualityInterval(LineMonitor* monitor)
    : KeshMethod("setLineQualityInterval", KESH_METHOD_ACTION_INFO, "set the interval for checking line quality."),
      mMonitor(monitor)
{
    addArgParamDef("Interval", "Milliseconds between line quality checks", "65000", true);
    addResultParamDef(cMessage, cMessageHelp);
}

void KeshSetLineQualityInterval::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (args.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = argument(args, "Interval");
    unsigned long ms = 0;
    if (param == nullptr || !param->getValue(ms) || ms > std::numeric_limits<std::uint32_t>::max())
        throw KeshUsageError("KESH usage");
    mMonitor->setQualityInterval(static_cast<std::uint32_t>(ms));
    results.add(cMessage, "Line quality interval set");
}

KeshMonitorOn::KeshMonitorOn(LineMonitor* monitor)
    : KeshMethod("monitorOn", KESH_METHOD_ACTION_INFO, "Turn on monitoring for a given IP address."),
      mMonitor(monitor)
{
    addArgParamDef("Target", "IP address to monitor", cTargetExample, false);
    addResultParamDef(cMessage, cMessageHelp);
}

void KeshMonitorOn::invoke(const KeshParamList& args, KeshParamList& results)
{
    switchTarget(*mMonitor, args, results, true);
}

KeshMonitorOff::KeshMonitorOff(LineMonitor* monitor)
    : KeshMethod("monitorOff", KESH_METHOD_ACTION_INFO, "Turn off monitoring for a given IP address"),
      mMonitor(monitor)
{
    addArgParamDef("Target", "IP address to monitor", cTargetExample, false);
    addResultParamDef(cMessage, cMessageHelp);
}

void KeshMonitorOff::invoke(const KeshParamList& args, KeshParamList& results)
{
    switchTarget(*mMonitor, args, results, false);
}

KeshCheckSeqNumPerLine::KeshCheckSeqNumPerLine(LineMonitor* monitor)
    : KeshMethod("setCheckSeqNumPerLine", KESH_METHOD_ACTION_INFO,
                 "Turn on/off the logging of sequence number gaps on a line by line basis\n"
                 "(primarily useful for multicast feeds)."),
      mMonitor(monitor)
{
    addArgParamDef("OnOff", "On or Off", "Off", true);
    addResultParamDef(cMessage, cMessageHelp);
}

void KeshCheckSeqNumPerLine::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (args.size() != 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = argument(args, "OnOff");
    if (param == nullptr)
        throw KeshUsageError("KESH usage");
    std::string value = param->getValue();
    for (char& c : value)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (value != "on" && value != "off")
        throw KeshUsageError("KESH usage");
    mMonitor->setCheckSeqNumPerLine(value == "on");
    results.add(cMessage, "Set to " + value);
}

KeshGetLineMonitorState::KeshGetLineMonitorState(LineMonitor* monitor)
    : KeshMethod("getLineMonitorState", KESH_METHOD_ACTION_INFO, "Report whether monitoring is on for each data source."),
      mMonitor(monitor)
{
    addResultParamDef(cMessage, cMessageHelp);
}

void KeshGetLineMonitorState::invoke(const KeshParamList& args, KeshParamList& results)
{
    if (!args.empty())
        throw KeshUsageError("KESH usage");
    results.add(cMessage, mMonitor->getName() + ": " + mMonitor->getStatus().str());
}
