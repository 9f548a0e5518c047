// The admin methods of a sub-feed's line monitor, added to the sub-feed's
// KeshSession by the monitor's factory and run on the monitor's thread:
// "setLineQualityInterval", "monitorOn", "monitorOff",
// "setCheckSeqNumPerLine" and "getLineMonitorState". Each answers one result
// "Message"; misuse throws KeshUsageError ("KESH usage") and changes nothing.
#pragma once

#include "zunq/admin/KeshMethod.h"

class LineMonitor;

class KeshSetLineQualityInterval : public KeshMethod
{
public:
    explicit KeshSetLineQualityInterval(LineMonitor* monitor);
    // One whole decimal number of milliseconds that fits 32 bits.
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineMonitor* mMonitor;
};

class KeshMonitorOn : public KeshMethod
{
public:
    explicit KeshMonitorOn(LineMonitor* monitor);
    // No target, or an empty one: all lines.
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineMonitor* mMonitor;
};

class KeshMonitorOff : public KeshMethod
{
public:
    explicit KeshMonitorOff(LineMonitor* monitor);
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineMonitor* mMonitor;
};

class KeshCheckSeqNumPerLine : public KeshMethod
{
public:
    explicit KeshCheckSeqNumPerLine(LineMonitor* monitor);
    // "on" or "off" in any case.
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineMonitor* mMonitor;
};

class KeshGetLineMonitorState : public KeshMethod
{
public:
    explicit KeshGetLineMonitorState(LineMonitor* monitor);
    // "<sub-feed>: <status text>".
    void invoke(const KeshParamList& args, KeshParamList& results) override;

private:
    LineMonitor* mMonitor;
};
